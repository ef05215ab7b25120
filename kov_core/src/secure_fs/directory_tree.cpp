// The directories of one extraction as a tree of components; independent of
// the platform.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "secure_fs/secure_fs.hpp"

namespace kov_core::secure_fs {

std::size_t ChildKeyHash::operator()(const ChildKey& key) const noexcept {
  const std::size_t name = std::hash<std::string_view>{}(key.name);
  return name ^ (static_cast<std::size_t>(key.parent) * 0x9E3779B97F4A7C15ull);
}

DirectoryTree::DirectoryTree(std::size_t max_directories)
    : max_directories_(std::min<std::size_t>(max_directories, UINT32_MAX - 1)) {
  nodes_.push_back({ROOT, false, {}});
}

DirectoryTree::Node DirectoryTree::child(Node parent, std::string_view name) {
  const auto [it, inserted] =
      lookup_.try_emplace(ChildKey{parent, name}, static_cast<Node>(nodes_.size()));
  if (inserted) nodes_.push_back({parent, false, name});
  return it->second;
}

Result<void> DirectoryTree::add(std::string_view relative, bool is_directory) {
  auto parts = components(relative);
  if (!parts) return std::unexpected(std::move(parts).error());
  Node node = ROOT;
  const std::size_t above = is_directory ? parts->size() : parts->size() - 1;
  for (std::size_t i = 0; i < above; ++i) {
    node = child(node, (*parts)[i]);
    if (size() > max_directories_)
      return std::unexpected(Error::invalid_input("not enough memory to extract more than " +
                                                  std::to_string(max_directories_) +
                                                  " directories"));
  }
  if (is_directory) nodes_[node].entry = true;
  return {};
}

void DirectoryTree::index_children(std::vector<Node>& first, std::vector<Node>& children) const {
  // A parent is always added before its children, so one counting pass in
  // node order groups them.
  first.assign(nodes_.size() + 1, 0);
  for (std::size_t n = 1; n < nodes_.size(); ++n) ++first[nodes_[n].parent + 1];
  for (std::size_t n = 1; n < first.size(); ++n) first[n] += first[n - 1];
  children.resize(nodes_.size() - 1);
  std::vector<Node> next(first.begin(), first.end() - 1);
  for (std::size_t n = 1; n < nodes_.size(); ++n)
    children[next[nodes_[n].parent]++] = static_cast<Node>(n);
}

}  // namespace kov_core::secure_fs
