#include "autograd/context.hpp"

#include <utility>

#include "engine/cpu/storage/numeric.hpp"

namespace vorka {

void AutogradContext::set_grad(std::size_t index, Storage grad) {
    if (index >= grads_.size()) grads_.resize(index + 1);
    grads_[index] = std::move(grad);
}

Status AutogradContext::accumulate(std::size_t index, Storage grad) {
    if (index >= grads_.size()) grads_.resize(index + 1);
    Storage& slot = grads_[index];
    if (!slot) {
        slot = std::move(grad);
        return {};
    }
    VORKA_TRY(CpuStorage sum, storage_ops::add(*slot, *grad));
    slot = Storage(std::move(sum));
    return {};
}

Storage AutogradContext::take(std::size_t index) noexcept {
    if (index >= grads_.size()) return Storage();
    return std::exchange(grads_[index], Storage());
}

}  // namespace vorka
