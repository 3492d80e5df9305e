// CPU stand-in for <cuda_runtime.h>: lets the project's .cu sources compile with a host
// compiler and run on the CPU. Host addresses serve as device addresses.
#pragma once

#include "cpu_cuda/device_api.h"
#include "cpu_cuda/launch.h"
#include "cpu_cuda/runtime_api.h"
