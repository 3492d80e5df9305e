// The host frame shared by every operation's driver.
#include "cuda_helpers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvane {
namespace {

std::string with_cuda_error(const char* prefix, cudaError_t error) {
    return std::string(prefix) + cudaGetErrorString(error);
}

// A runtime call failed and the frame reports it itself. Reading the last error clears it,
// so that it does not come back as "Kernel execution failed" in the next, healthy call (a
// kernel fault stays: the runtime keeps those sticky).
std::runtime_error runtime_failure(const char* prefix, cudaError_t error) {
    static_cast<void>(cudaGetLastError());
    return std::runtime_error(with_cuda_error(prefix, error));
}

}  // namespace

namespace {

// An attribute of the current device: kernels run there, so its limits are the ones that
// matter.
int current_device_attribute(cudaDeviceAttr attribute) {
    int device = 0;
    cudaError_t error = cudaGetDevice(&device);
    int value = 0;
    if (error == cudaSuccess) {
        error = cudaDeviceGetAttribute(&value, attribute, device);
    }
    if (error != cudaSuccess) {
        throw runtime_failure("Failed to get device attributes: ", error);
    }
    return value;
}

}  // namespace

int max_threads_per_block() { return current_device_attribute(cudaDevAttrMaxThreadsPerBlock); }

int max_shared_memory_per_block() {
    return current_device_attribute(cudaDevAttrMaxSharedMemoryPerBlock);
}

void check_ref_signal_length_limit(int ref_signal_length) {
    const int max_threads = max_threads_per_block();
    if (ref_signal_length > max_threads) {
        throw std::invalid_argument("ref_signal_length (" + std::to_string(ref_signal_length) +
                                    ") exceeds maximum threads per block (" +
                                    std::to_string(max_threads) + ")");
    }
}

void validate_batch(const std::vector<int>& lengths, int ref_signal_length) {
    validate_lengths(lengths, ref_signal_length);
    check_ref_signal_length_limit(ref_signal_length);
    check_batch_fits_int32(lengths, ref_signal_length);
}

int* copy_vector_to_device(const std::vector<int>& values) {
    if (values.empty()) {
        throw std::invalid_argument("Cannot copy empty vector to device");
    }
    const std::size_t bytes = values.size() * sizeof(int);
    int* buffer = nullptr;
    if (const cudaError_t error = cudaMalloc(reinterpret_cast<void**>(&buffer), bytes);
        error != cudaSuccess) {
        throw runtime_failure("Failed to allocate device memory: ", error);
    }
    if (const cudaError_t error = cudaMemcpy(buffer, values.data(), bytes, cudaMemcpyHostToDevice);
        error != cudaSuccess) {
        free_device_buffer(buffer);
        throw runtime_failure("Failed to copy to device: ", error);
    }
    return buffer;
}

void free_device_buffer(void* buffer) {
    if (buffer != nullptr) {
        cudaFree(buffer);
    }
}

namespace {

// The first largest length.
int longest_length(const std::vector<int>& lengths) {
    return *std::max_element(lengths.begin(), lengths.end());
}

LaunchGeometry make_cell_geometry(const BatchTables& batch, int rows) {
    const unsigned grid_rows = std::min(static_cast<unsigned>(rows), kMaxGridRows);
    return LaunchGeometry{dim3(static_cast<unsigned>(batch.num_signals()), grid_rows, 1),
                          dim3(static_cast<unsigned>(batch.ref_signal_length), 1, 1)};
}

}  // namespace

LaunchGeometry make_launch_geometry(const BatchTables& batch) {
    return make_cell_geometry(batch, batch.longest + batch.ref_signal_length - 1);
}

LaunchGeometry make_row_geometry(const BatchTables& batch) {
    return make_cell_geometry(batch, batch.longest);
}

LaunchGeometry make_signal_geometry(const BatchTables& batch, int threads) {
    return LaunchGeometry{dim3(static_cast<unsigned>(batch.num_signals()), 1, 1),
                          dim3(static_cast<unsigned>(threads), 1, 1)};
}

BatchTables prepare_batch(const std::vector<int>& lengths, int ref_signal_length,
                          SignalOffsets signal_offsets) {
    validate_batch(lengths, ref_signal_length);
    BatchTables batch{lengths, ref_signal_length, longest_length(lengths), {}, {}};
    if (signal_offsets == SignalOffsets::needed) {
        batch.signal_offsets = make_signal_offsets(lengths);
    }
    batch.matrix_offsets = make_matrix_offsets(lengths, ref_signal_length);
    return batch;
}

DeviceBuffer::DeviceBuffer(DeviceBuffer&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)) {}

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
        free_device_buffer(buffer_);
        buffer_ = std::exchange(other.buffer_, nullptr);
    }
    return *this;
}

DeviceBuffer::~DeviceBuffer() { free_device_buffer(buffer_); }

DeviceBuffer copy_bytes_to_device(const void* values, std::size_t bytes) {
    void* raw = nullptr;
    if (const cudaError_t error = cudaMalloc(&raw, bytes); error != cudaSuccess) {
        throw runtime_failure("Failed to allocate device memory: ", error);
    }
    DeviceBuffer buffer(raw);
    if (const cudaError_t error = cudaMemcpy(raw, values, bytes, cudaMemcpyHostToDevice);
        error != cudaSuccess) {
        throw runtime_failure("Failed to copy to device: ", error);
    }
    return buffer;
}

void copy_to_host(void* destination, DeviceAddress source, std::size_t bytes) {
    if (const cudaError_t error = cudaMemcpy(destination, device_pointer<const void>(source), bytes,
                                             cudaMemcpyDeviceToHost);
        error != cudaSuccess) {
        throw runtime_failure("Failed to copy from device: ", error);
    }
}

DeviceBuffer make_zeroed_device_buffer(std::size_t bytes) {
    void* raw = nullptr;
    if (const cudaError_t error = cudaMalloc(&raw, bytes); error != cudaSuccess) {
        throw runtime_failure("Failed to allocate device memory: ", error);
    }
    DeviceBuffer buffer(raw);
    if (const cudaError_t error = cudaMemset(raw, 0, bytes); error != cudaSuccess) {
        throw runtime_failure("Failed to clear device memory: ", error);
    }
    return buffer;
}

void clear_device_buffer(DeviceAddress buffer, std::size_t bytes) {
    if (const cudaError_t error = cudaMemset(device_pointer<void>(buffer), 0, bytes);
        error != cudaSuccess) {
        throw runtime_failure("Failed to clear device memory: ", error);
    }
}

DeviceTables::DeviceTables(const BatchTables& batch)
    : lengths_(copy_vector_to_device(batch.lengths)) {
    if (!batch.signal_offsets.empty()) {
        signal_offsets_ = DeviceBuffer(copy_vector_to_device(batch.signal_offsets));
    }
    matrix_offsets_ = DeviceBuffer(copy_vector_to_device(batch.matrix_offsets));
}

void wait_for_device() { static_cast<void>(cudaDeviceSynchronize()); }

void check_kernel_execution() {
    if (const cudaError_t error = cudaGetLastError(); error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Kernel execution failed: ", error));
    }
}

}  // namespace orvane
