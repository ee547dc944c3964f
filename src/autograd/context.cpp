#include "autograd/context.hpp"

#include <utility>

#include "engine/cpu/storage/backward.hpp"
#include "engine/cpu/storage/numeric.hpp"

namespace vorka {

void GradStore::set(std::size_t index, Storage grad) {
    if (index >= grads_.size()) grads_.resize(index + 1);
    grads_[index] = std::move(grad);
    if (index < wide_.size()) wide_[index] = Storage();
}

Status GradStore::accumulate(std::size_t index, Storage grad) {
    if (index >= grads_.size()) grads_.resize(index + 1);
    Storage& slot = grads_[index];
    if (!slot) {
        slot = std::move(grad);
        return {};
    }
    const DType t = slot->dtype();
    if (dtype_sums_widen(t) && grad->dtype() == t) {
        // Adding in the 16-bit type would round at every contribution, so
        // that a few thousand ones would stop growing at 2048 (float16).
        if (index >= wide_.size()) wide_.resize(grads_.size());
        Storage& wide = wide_[index];
        if (!wide) {
            VORKA_TRY(CpuStorage first, storage_ops::widen_f32(*slot));
            wide = Storage(std::move(first));
        }
        VORKA_TRY(CpuStorage g, storage_ops::widen_f32(*grad));
        VORKA_TRY(CpuStorage sum, storage_ops::add(*wide, g));
        VORKA_TRY(CpuStorage rounded, storage_ops::narrow_f32(sum, t));
        wide = Storage(std::move(sum));
        slot = Storage(std::move(rounded));
        return {};
    }
    VORKA_TRY(CpuStorage sum, storage_ops::add(*slot, *grad));
    slot = Storage(std::move(sum));
    return {};
}

Storage GradStore::take(std::size_t index) noexcept {
    if (index >= grads_.size()) return Storage();
    if (index < wide_.size()) wide_[index] = Storage();
    return std::exchange(grads_[index], Storage());
}

void GradStore::clear() {
    for (auto& g : grads_) g.reset();
    grads_.clear();
    wide_.clear();
    // A long run can leave millions of slots behind; give that memory back.
    if (grads_.capacity() > 65536) grads_.shrink_to_fit();
    if (wide_.capacity() > 65536) wide_.shrink_to_fit();
}

}  // namespace vorka
