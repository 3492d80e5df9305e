// The float64 path's passes, compiled for every instruction set (Highway's foreach_target
// includes this file once per target): a unit of its own, so that the three paths build in
// parallel and a change to a driver rebuilds none of them. The passes are in the -inl.h
// headers beside it (entries-inl.h first); the drivers (drivers.cpp) reach this path's table
// through float64_passes() (pass_table.h).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vectorised/softdtw/passes_float64.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "vectorised/softdtw/entries-inl.h"
#include "vectorised/softdtw/pass_table.h"

HWY_BEFORE_NAMESPACE();
namespace orvane::vectorised::HWY_NAMESPACE {

const PassTable<double, double>* Float64Passes() {
    static const PassTable<double, double> table =
        TableOf<double, double, SideBySide::scores_only>();
    return &table;
}

}  // namespace orvane::vectorised::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace orvane::vectorised {

HWY_EXPORT(Float64Passes);

const PassTable<double, double>& float64_passes() { return *HWY_DYNAMIC_DISPATCH(Float64Passes)(); }

}  // namespace orvane::vectorised
#endif  // HWY_ONCE
