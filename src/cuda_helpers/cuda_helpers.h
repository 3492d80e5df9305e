// The frame that every operation's host driver runs around its kernels: validation of the
// lengths, the per-signal offset tables and their device copies, waiting and error checks.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/batch_checks.h"

namespace orvane {

// An address in device global memory, as Python passes it.
using DeviceAddress = std::uint64_t;

template <typename T>
T* device_pointer(DeviceAddress address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// The threads a block may have on the current device; throws std::runtime_error if the
// device cannot be queried.
int max_threads_per_block();

// The bytes of shared memory a block may have on the current device without opting in to
// more; throws std::runtime_error if the device cannot be queried.
int max_shared_memory_per_block();

// Throws std::runtime_error if the current device cannot be queried and
// std::invalid_argument if the reference length exceeds its threads per block.
void check_ref_signal_length_limit(int ref_signal_length);

// validate_lengths, check_ref_signal_length_limit and check_batch_fits_int32, in that order:
// what every driver does before anything else.
void validate_batch(const std::vector<int>& lengths, int ref_signal_length);

// Allocates a device buffer holding a copy of `values`; the caller frees it.
int* copy_vector_to_device(const std::vector<int>& values);

void free_device_buffer(void* buffer);

enum class SignalOffsets { not_needed, needed };

// A validated batch with the host offset tables its operation uses.
struct BatchTables {
    const std::vector<int>& lengths;
    int ref_signal_length;
    int longest;                      // max N_k
    std::vector<int> signal_offsets;  // empty unless the operation reads the signal batch
    std::vector<int> matrix_offsets;

    int num_signals() const { return static_cast<int>(lengths.size()); }
};

// Validates the lengths and the reference length (validate_batch), then builds the offset
// tables: the first steps of every driver, before anything is allocated.
BatchTables prepare_batch(const std::vector<int>& lengths, int ref_signal_length,
                          SignalOffsets signal_offsets);

struct LaunchGeometry {
    dim3 grid;
    dim3 block;
};

// The tallest grid a GPU launches. Cell-parallel kernels cover taller matrices by stepping
// through their rows or diagonals gridDim.y apart.
constexpr unsigned kMaxGridRows = 65535;

// Cell-parallel, one block per signal and anti-diagonal of the longest signal (grid height
// capped), one thread per column.
LaunchGeometry make_launch_geometry(const BatchTables& batch);

// Cell-parallel, one block per signal and row of the longest signal (grid height capped),
// one thread per column.
LaunchGeometry make_row_geometry(const BatchTables& batch);

// One block of `threads` threads per signal.
LaunchGeometry make_signal_geometry(const BatchTables& batch, int threads);

// Owns one temporary device buffer for the duration of a call.
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    explicit DeviceBuffer(void* buffer) : buffer_(buffer) {}
    DeviceBuffer(DeviceBuffer&& other) noexcept;
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    ~DeviceBuffer();

    template <typename T>
    T* get() const {
        return static_cast<T*>(buffer_);
    }

private:
    void* buffer_ = nullptr;
};

// A device buffer holding a copy of `bytes` bytes of host memory; throws std::runtime_error
// if it cannot be made.
DeviceBuffer copy_bytes_to_device(const void* values, std::size_t bytes);

// Copies `bytes` bytes of device memory into host memory; throws std::runtime_error on
// failure.
void copy_to_host(void* destination, DeviceAddress source, std::size_t bytes);

// A device buffer of `bytes` zero bytes; throws std::runtime_error if it cannot be made.
DeviceBuffer make_zeroed_device_buffer(std::size_t bytes);

// Fills a caller's buffer with zero bytes; throws std::runtime_error on failure.
void clear_device_buffer(DeviceAddress buffer, std::size_t bytes);

// Device copies of the per-signal tables of one call, freed when it ends.
class DeviceTables {
public:
    // Copies the lengths, then the signal offsets (if built), then the matrix offsets.
    explicit DeviceTables(const BatchTables& batch);

    const int* lengths() const { return lengths_.get<const int>(); }
    const int* signal_offsets() const { return signal_offsets_.get<const int>(); }
    const int* matrix_offsets() const { return matrix_offsets_.get<const int>(); }

private:
    DeviceBuffer lengths_;
    DeviceBuffer signal_offsets_;
    DeviceBuffer matrix_offsets_;
};

// Waits for every launch so far; faults are read once, by check_kernel_execution.
void wait_for_device();

// Throws std::runtime_error "Kernel execution failed: ..." if the runtime recorded an error.
void check_kernel_execution();

}  // namespace orvane
