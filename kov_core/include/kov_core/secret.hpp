#pragma once
// Containers for secret bytes: whatever they held is zeroed before the memory
// is released, growth included.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kov_core::util {

// Zeroes memory in a way the compiler may not remove.
void wipe(void* data, std::size_t size) noexcept;

// An allocator that wipes every block it releases.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    wipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// Passwords and key-file secrets. The allocator wipes the whole capacity on
// every release; the destructor clears the contents first.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
  SecretBytes(SecretBytes&& other) noexcept = default;
  SecretBytes& operator=(SecretBytes&& other) noexcept = default;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(bytes_.data(), bytes_.size()); }

  [[nodiscard]] std::size_t size() const noexcept { return bytes_.size(); }
  [[nodiscard]] bool empty() const noexcept { return bytes_.empty(); }
  [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.data(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] std::span<const std::uint8_t> span() const noexcept { return bytes_; }
  void resize(std::size_t n) { bytes_.resize(n); }
  void push_back(std::uint8_t b) { bytes_.push_back(b); }
  void pop_back() noexcept { bytes_.pop_back(); }
  [[nodiscard]] std::uint8_t back() const noexcept { return bytes_.back(); }

 private:
  std::vector<std::uint8_t, WipingAllocator<std::uint8_t>> bytes_;
};

// A fixed-size secret such as a key; zeroed when released. Moving copies the
// bytes and zeroes the source.
template <std::size_t N>
class SecretArray {
 public:
  SecretArray() noexcept = default;
  SecretArray(SecretArray&& other) noexcept : bytes_(other.bytes_) { other.clear(); }
  SecretArray& operator=(SecretArray&& other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      other.clear();
    }
    return *this;
  }
  SecretArray(const SecretArray&) = delete;
  SecretArray& operator=(const SecretArray&) = delete;
  ~SecretArray() { clear(); }

  [[nodiscard]] std::uint8_t* data() noexcept { return bytes_.data(); }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return bytes_.data(); }
  [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }
  [[nodiscard]] std::span<const std::uint8_t, N> span() const noexcept { return bytes_; }
  [[nodiscard]] std::span<std::uint8_t, N> mutable_span() noexcept { return bytes_; }
  void clear() noexcept { wipe(bytes_.data(), N); }

 private:
  std::array<std::uint8_t, N> bytes_{};
};

}  // namespace kov_core::util
