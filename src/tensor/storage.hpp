// CpuStorage: one strided array of one element type (a tagged union).
// Storage: a shared, atomically counted handle to an immutable CpuStorage.
#pragma once

#include <atomic>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <variant>

#include "strided/ndarray.hpp"
#include "tensor/dtype.hpp"

namespace vorka {

template <class A>
struct array_element;
template <class T>
struct array_element<NdArray<T>> {
    using type = T;
};
// The element type of an NdArray (reference and const stripped).
template <class A>
using element_of = typename array_element<std::remove_cvref_t<A>>::type;

class CpuStorage {
  public:
    // One alternative per element type, in DType order.
    using Variant = map_types_t<std::variant, NdArray, ElementTypes>;

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

    // f(const NdArray<T>&) for the element type T held.
    template <class F>
    decltype(auto) visit(F&& f) const { return std::visit(std::forward<F>(f), v_); }

    // on_float(const NdArray<T>&) when T is a Float type, else otherwise():
    // the one place that tells a numeric kernel's types from the others.
    template <class F, class G>
    std::invoke_result_t<G&> visit_float(F&& on_float, G&& otherwise) const {
        using R = std::invoke_result_t<G&>;
        return std::visit(
            [&]<class T>(const NdArray<T>& a) -> R {
                if constexpr (is_float_element<T>) return on_float(a);
                else return otherwise();
            },
            v_);
    }

  private:
    Variant v_;
};

namespace detail {
template <std::size_t... I>
constexpr bool variant_in_tag_order(std::index_sequence<I...>) {
    return (... && (ElementTraits<element_of<std::variant_alternative_t<I, CpuStorage::Variant>>>::tag ==
                    static_cast<DType>(I)));
}
}  // namespace detail
static_assert(detail::variant_in_tag_order(std::make_index_sequence<kDTypeCount>{}),
              "CpuStorage::dtype() reads the tag from the variant index");

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
