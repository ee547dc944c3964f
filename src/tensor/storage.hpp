// CpuStorage: one strided array of one element type (a tagged union).
// Storage: a shared, atomically counted handle to an immutable CpuStorage.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>
#include <variant>

#include "strided/ndarray.hpp"
#include "tensor/dtype.hpp"

namespace vorka {

class CpuStorage {
  public:
    // Alternatives in DType order.
    using Variant = std::variant<NdArray<f16>, NdArray<bf16>, NdArray<float>, NdArray<bool>>;

    template <class T>
    explicit CpuStorage(NdArray<T>&& a) : v_(std::move(a)) {}

    DType dtype() const noexcept { return static_cast<DType>(v_.index()); }

    template <class T>
    const NdArray<T>* get() const noexcept { return std::get_if<NdArray<T>>(&v_); }

    const Dims& shape() const {
        return std::visit([](const auto& a) -> const Dims& { return a.shape(); }, v_);
    }
    const Strides& strides() const {
        return std::visit([](const auto& a) -> const Strides& { return a.strides(); }, v_);
    }
    std::size_t size() const {
        return std::visit([](const auto& a) { return a.size(); }, v_);
    }

    // An independent copy with the same strides.
    CpuStorage copy() const {
        return std::visit([](const auto& a) { return CpuStorage(a.copy()); }, v_);
    }

    template <class F>
    decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), v_); }

  private:
    Variant v_;
};

// Shared handle. Control block and array metadata (and the elements of small
// arrays) live in one allocation.
class Storage {
    struct Block {
        std::atomic<std::size_t> refs;
        CpuStorage cpu;
    };

  public:
    Storage() noexcept = default;
    explicit Storage(CpuStorage&& cpu) : b_(new Block{{1}, std::move(cpu)}) {}
    template <class T>
    explicit Storage(NdArray<T>&& a) : Storage(CpuStorage(std::move(a))) {}

    Storage(const Storage& o) noexcept : b_(o.b_) {
        if (b_) b_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Storage(Storage&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Storage& operator=(const Storage& o) noexcept {
        Storage(o).swap(*this);
        return *this;
    }
    Storage& operator=(Storage&& o) noexcept {
        Storage(std::move(o)).swap(*this);
        return *this;
    }
    ~Storage() { reset(); }

    void reset() noexcept {
        if (b_ && b_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b_;
        b_ = nullptr;
    }
    void swap(Storage& o) noexcept { std::swap(b_, o.b_); }

    explicit operator bool() const noexcept { return b_ != nullptr; }
    const CpuStorage& cpu() const noexcept { return b_->cpu; }
    const CpuStorage* operator->() const noexcept { return &b_->cpu; }
    const CpuStorage& operator*() const noexcept { return b_->cpu; }
    bool same(const Storage& o) const noexcept { return b_ == o.b_; }

  private:
    Block* b_ = nullptr;
};

}  // namespace vorka
