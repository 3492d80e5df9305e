// The host frame shared by every operation's driver.
#include "cuda_helpers.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvane {
namespace {

constexpr std::int64_t kMaxPositions = std::numeric_limits<int>::max();

std::string with_cuda_error(const char* prefix, cudaError_t error) {
    return std::string(prefix) + cudaGetErrorString(error);
}

}  // namespace

void validate_lengths(const std::vector<int>& lengths, int ref_signal_length) {
    if (lengths.empty()) {
        throw std::invalid_argument("input_signal_lengths is empty");
    }
    if (ref_signal_length <= 0) {
        throw std::invalid_argument("ref_signal_length must be positive");
    }
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        if (lengths[k] <= 0) {
            throw std::invalid_argument("input_signal_lengths[" + std::to_string(k) +
                                        "] must be positive, got: " + std::to_string(lengths[k]));
        }
    }
}

void check_ref_signal_length_limit(int ref_signal_length) {
    // Kernels run on the current device, so its limit is the one that matters.
    int device = 0;
    cudaError_t error = cudaGetDevice(&device);
    int max_threads = 0;
    if (error == cudaSuccess) {
        error = cudaDeviceGetAttribute(&max_threads, cudaDevAttrMaxThreadsPerBlock, device);
    }
    if (error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Failed to get device attributes: ", error));
    }
    if (ref_signal_length > max_threads) {
        throw std::invalid_argument("ref_signal_length (" + std::to_string(ref_signal_length) +
                                    ") exceeds maximum threads per block (" +
                                    std::to_string(max_threads) + ")");
    }
}

void check_batch_fits_int32(const std::vector<int>& lengths, int ref_signal_length) {
    std::int64_t samples = 0;
    for (const int length : lengths) {
        samples += length;
    }
    if (samples > kMaxPositions) {
        throw std::invalid_argument(
            "input_signal_lengths add up to " + std::to_string(samples) +
            " samples, more than the 2147483647 that 32-bit positions can address");
    }
    // Every signal has at least one sample, so a batch of cells that fits also bounds the
    // packed per-signal arrays of B * M values.
    const std::int64_t cells = samples * ref_signal_length;
    if (cells > kMaxPositions) {
        throw std::invalid_argument(
            "the batch matrix would hold " + std::to_string(cells) +
            " cells (the sum of input_signal_lengths times ref_signal_length), more than the "
            "2147483647 that 32-bit positions can address");
    }
}

void validate_batch(const std::vector<int>& lengths, int ref_signal_length) {
    validate_lengths(lengths, ref_signal_length);
    check_ref_signal_length_limit(ref_signal_length);
    check_batch_fits_int32(lengths, ref_signal_length);
}

void validate_gamma(float gamma) {
    if (!(std::isfinite(gamma) && gamma > 0.0f)) {
        std::ostringstream message;
        message << "gamma must be a finite number greater than zero, got: " << gamma;
        throw std::invalid_argument(message.str());
    }
}

int* copy_vector_to_device(const std::vector<int>& values) {
    if (values.empty()) {
        throw std::invalid_argument("Cannot copy empty vector to device");
    }
    const std::size_t bytes = values.size() * sizeof(int);
    int* buffer = nullptr;
    if (const cudaError_t error = cudaMalloc(reinterpret_cast<void**>(&buffer), bytes);
        error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Failed to allocate device memory: ", error));
    }
    if (const cudaError_t error = cudaMemcpy(buffer, values.data(), bytes, cudaMemcpyHostToDevice);
        error != cudaSuccess) {
        free_device_buffer(buffer);
        throw std::runtime_error(with_cuda_error("Failed to copy to device: ", error));
    }
    return buffer;
}

void free_device_buffer(void* buffer) {
    if (buffer != nullptr) {
        cudaFree(buffer);
    }
}

LaunchGeometry make_launch_geometry(const std::vector<int>& lengths, int ref_signal_length) {
    const auto diagonals = static_cast<unsigned>(longest_length(lengths) + ref_signal_length - 1);
    return LaunchGeometry{dim3(static_cast<unsigned>(lengths.size()), diagonals, 1),
                          dim3(static_cast<unsigned>(ref_signal_length), 1, 1)};
}

std::vector<int> make_signal_offsets(const std::vector<int>& lengths) {
    std::vector<int> offsets(lengths.size());
    std::exclusive_scan(lengths.begin(), lengths.end(), offsets.begin(), 0);
    return offsets;
}

std::vector<int> make_matrix_offsets(const std::vector<int>& lengths, int ref_signal_length) {
    std::vector<int> offsets(lengths.size());
    int next = 0;
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        offsets[k] = next;
        next += lengths[k] * ref_signal_length;
    }
    return offsets;
}

int longest_length(const std::vector<int>& lengths) {
    return *std::max_element(lengths.begin(), lengths.end());
}

BatchTables prepare_batch(const std::vector<int>& lengths, int ref_signal_length,
                          SignalOffsets signal_offsets) {
    validate_batch(lengths, ref_signal_length);
    BatchTables batch{lengths, ref_signal_length, {}, {}};
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

DeviceBuffer make_zeroed_device_buffer(std::size_t bytes) {
    void* raw = nullptr;
    if (const cudaError_t error = cudaMalloc(&raw, bytes); error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Failed to allocate device memory: ", error));
    }
    DeviceBuffer buffer(raw);
    if (const cudaError_t error = cudaMemset(raw, 0, bytes); error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Failed to clear device memory: ", error));
    }
    return buffer;
}

void clear_device_buffer(DeviceAddress buffer, std::size_t bytes) {
    if (const cudaError_t error = cudaMemset(device_pointer<void>(buffer), 0, bytes);
        error != cudaSuccess) {
        throw std::runtime_error(with_cuda_error("Failed to clear device memory: ", error));
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
