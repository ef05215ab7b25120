// Symbolic-link targets resolved as the kernel resolves them, through the
// archive's own links and the destination's.
//
// The archive's links are taken as they will be once every selected entry is
// made: a selected link entry is a link at its path unless its target cannot
// be decoded, or an earlier selected entry lies below that path (that entry
// makes a directory there first, and the link then fails). What the
// destination holds is read as it is found, which agrees with that picture
// for everything this run makes.

#include "archive/link_resolution.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <functional>

namespace kov_core::archive {

namespace {

using secure_fs::Component;
using secure_fs::ComponentKind;

}  // namespace

LinkResolution::LinkResolution(const Archive& archive) : archive_(archive), destination_(-1) {
  build([&](auto&& visit) {
    for (const Entry& entry : archive.entries()) visit(entry);
  });
}

LinkResolution::LinkResolution(const Archive& archive, std::span<const Entry* const> selected,
                               int destination)
    : archive_(archive), destination_(destination) {
  build([&](auto&& visit) {
    for (const Entry* entry : selected) visit(*entry);
  });
}

template <class ForEachSelected>
void LinkResolution::build(ForEachSelected&& for_each_selected) {
  nodes_.push_back(Node{});
  nodes_[ROOT].found = destination_ >= 0 ? Found::Directory : Found::Absent;
  const Entry* const first = archive_.entries().data();
  // The links' paths first, so that every entry can then mark the link paths above it.
  for_each_selected([&](const Entry& entry) {
    if (entry.kind != EntryKind::Symlink) return;
    std::uint32_t node = ROOT;
    std::size_t start = 0;
    for (;;) {  // stored paths are canonical: no empty or "." component
      const std::size_t slash = std::min(entry.path.find('/', start), entry.path.size());
      const std::string_view name = std::string_view(entry.path).substr(start, slash - start);
      const std::uint32_t parent = node;
      node = add_node(parent, name);
      if (!nodes_[node].archive) {
        nodes_[node].archive = true;
        keys_.push_back(collision_key(name));
        folded_.emplace(ChildKey{parent, keys_.back()}, node);
      }
      if (slash == entry.path.size()) break;
      start = slash + 1;
    }
    const auto index = static_cast<std::size_t>(&entry - first);
    nodes_[node].archive_link = static_cast<std::uint32_t>(links_.size());
    by_index_.emplace(index, static_cast<std::uint32_t>(links_.size()));
    links_.emplace_back(node, static_cast<std::int64_t>(index));
  });
  if (links_.empty()) return;
  // Every directory the selected entries make: a ".." may stand on any of them.
  for_each_selected([&](const Entry& entry) {
    const auto index = static_cast<std::uint32_t>(&entry - first);
    const std::string_view path = entry.path;
    std::uint32_t node = ROOT;
    std::size_t start = 0;
    for (std::size_t slash; (slash = path.find('/', start)) != std::string_view::npos;
         start = slash + 1) {
      node = add_node(node, path.substr(start, slash - start));
      if (nodes_[node].first_below == NONE) nodes_[node].first_below = index;
    }
    if (entry.kind == EntryKind::Directory)
      nodes_[add_node(node, path.substr(start))].directory_entry = true;
  });
}

std::uint32_t LinkResolution::add_node(std::uint32_t parent, std::string_view name) {
  const auto [at, added] =
      children_.try_emplace({parent, name}, static_cast<std::uint32_t>(nodes_.size()));
  if (added) {
    Node node;
    node.name = name;
    node.parent = parent;
    nodes_.push_back(node);
  }
  return at->second;
}

void LinkResolution::decode(Decoder& decoder, const crypto::ArchiveKey* key, std::uint64_t budget) {
  decoder_ = &decoder;
  key_ = key;
  std::uint64_t kept = 0;
  for (std::uint32_t id = 0; id < links_.size(); ++id) {
    Link& link = links_[id];
    auto target = decode_again(link);
    if (!target) {
      link.failed = true;
      errors_.emplace(id, std::move(target).error());
      continue;
    }
    if (target->size() > budget - kept) continue;  // decoded again when needed
    kept += target->size();
    link.target = std::move(*target);
    link.loaded = true;
  }
}

void LinkResolution::decode(Decoder& decoder, const crypto::ArchiveKey* key) {
  decode(decoder, key, index_size_limit(decoder.available_mib()));
}

Result<std::string> LinkResolution::decode_again(const Link& link) {
  if (decoder_ == nullptr)
    return std::unexpected(Error::io("symbolic link targets were not decoded"));
  const auto index = static_cast<std::size_t>(link.index);
  return decoder_->link_target(archive_, index, archive_.entries()[index], key_);
}

Result<std::string> LinkResolution::take(std::size_t index) {
  const auto id = by_index_.find(index);
  if (id == by_index_.end()) return std::unexpected(Error::io("symbolic link was not prepared"));
  Link& link = links_[id->second];
  if (link.failed) {
    const auto error = errors_.find(id->second);
    return std::unexpected(std::move(error->second));
  }
  if (!link.loaded) {
    auto target = decode_again(link);
    if (!target) return std::unexpected(std::move(target).error());
    link.target = std::move(*target);
    link.loaded = true;
  }
  if (link.state != State::Done) {
    auto resolved = resolve(id->second);
    chain_.close();
    chain_nodes_.clear();
    if (!resolved) return std::unexpected(std::move(resolved).error());
  }
  const std::string& path = archive_.entries()[index].path;
  if (link.refusal) return std::unexpected(unsafe_link(path, *link.refusal));
  if (link.latest_before_up > link.index)
    return std::unexpected(unsafe_link(path, {LinkRefusal::Kind::Escapes}));
  // Its resolution is kept: nothing needs the text any more.
  link.loaded = false;
  return std::move(link.target);
}

std::vector<std::string> LinkResolution::directories_to_make() {
  std::vector<std::string> paths;
  paths.reserve(to_make_.size());
  std::vector<std::string_view> names;
  for (const std::uint32_t node : to_make_) {
    names.clear();
    for (std::uint32_t n = node; n != ROOT; n = nodes_[n].parent) names.push_back(nodes_[n].name);
    std::string& path = paths.emplace_back();
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      if (!path.empty()) path.push_back('/');
      path.append(*name);
    }
  }
  to_make_.clear();
  return paths;
}

// ---- the destination ----

Result<void> LinkResolution::settle(std::uint32_t node) {
  if (nodes_[node].found != Found::Unknown) return {};
  // The unknown ancestors, nearest first; the root is always known.
  std::vector<std::uint32_t> unknown;
  for (std::uint32_t n = node; nodes_[n].found == Found::Unknown; n = nodes_[n].parent)
    unknown.push_back(n);
  for (auto n = unknown.rbegin(); n != unknown.rend(); ++n) {
    const std::uint32_t parent = nodes_[*n].parent;
    if (nodes_[parent].found != Found::Directory) {
      nodes_[*n].found = Found::Absent;
      continue;
    }
    auto dir = directory(parent);
    if (!dir) return std::unexpected(std::move(dir).error());
    auto probed = secure_fs::platform::probe(*dir, nodes_[*n].name);
    if (!probed) return std::unexpected(std::move(probed).error());
    apply(*n, std::move(*probed));
  }
  return {};
}

Result<std::uint32_t> LinkResolution::child(std::uint32_t node, std::string_view name) {
  const auto known = children_.find({node, name});
  const bool archive = known != children_.end() && nodes_[known->second].archive;
  // Such a name may well be the archive's own on the destination's file system.
  if (!archive && !folded_.empty() && folded_.contains({node, collision_key(name)})) return FOLDED;
  if (known != children_.end()) {
    KOV_TRY(settle(known->second));
    return known->second;
  }
  KOV_TRY(settle(node));
  // Below anything but a directory of the destination, only the archive's
  // link paths can hold a link, and this is none of them.
  if (nodes_[node].found != Found::Directory) return NONE;
  auto dir = directory(node);
  if (!dir) return std::unexpected(std::move(dir).error());
  auto probed = secure_fs::platform::probe(*dir, name);
  if (!probed) return std::unexpected(std::move(probed).error());
  names_.emplace_back(name);
  const std::uint32_t id = add_node(node, names_.back());
  apply(id, std::move(*probed));
  return id;
}

void LinkResolution::apply(std::uint32_t node, secure_fs::platform::Probed found) {
  using Kind = secure_fs::platform::Probed::Kind;
  Node& n = nodes_[node];
  switch (found.kind) {
    case Kind::Absent:
      n.found = Found::Absent;
      return;
    case Kind::Directory:
      n.found = Found::Directory;
      n.device = found.device;
      n.inode = found.inode;
      return;
    case Kind::Other:
      n.found = Found::Other;
      return;
    case Kind::Link: {
      n.found = Found::Link;
      n.found_link = static_cast<std::uint32_t>(links_.size());
      Link& link = links_.emplace_back(node, -1);
      link.target = std::move(found.target);
      link.loaded = true;
      return;
    }
  }
}

std::uint32_t LinkResolution::link_at(std::uint32_t node) const {
  const Node& n = nodes_[node];
  switch (n.found) {
    case Found::Link:
      return n.found_link;
    case Found::Directory:
    case Found::Other:
      return NONE;
    case Found::Unknown:
    case Found::Absent:
      break;
  }
  if (n.archive_link == NONE) return NONE;
  const Link& link = links_[n.archive_link];
  if (link.failed || n.first_below < link.index) return NONE;
  return n.archive_link;
}

Result<int> LinkResolution::directory(std::uint32_t node) {
  if (node == ROOT) return destination_;
  // The node's directories from the root down; the chain keeps those it
  // shares with the last one asked for.
  wanted_.clear();
  for (std::uint32_t n = node; n != ROOT; n = nodes_[n].parent) wanted_.push_back(n);
  std::reverse(wanted_.begin(), wanted_.end());
  if (chain_.empty()) {
    const int raw = ::fcntl(destination_, F_DUPFD_CLOEXEC, 0);
    if (raw < 0) return std::unexpected(Error::os(errno));
    KOV_TRY(chain_.reset(util::Fd(raw)));
    chain_nodes_.assign(1, ROOT);
  }
  std::size_t shared = 0;
  while (shared < wanted_.size() && shared + 1 < chain_nodes_.size() &&
         chain_nodes_[shared + 1] == wanted_[shared])
    ++shared;
  // Any failure leaves the chain to start again from the root.
  const auto lost = [&](Error error) -> Result<int> {
    chain_.close();
    chain_nodes_.clear();
    return std::unexpected(std::move(error));
  };
  while (chain_.depth() > shared) {
    auto up = chain_.up();
    if (!up) return lost(std::move(up).error());
    if (!*up) return lost(secure_fs::platform::destination_changed());
    chain_nodes_.pop_back();
  }
  for (std::size_t i = shared; i < wanted_.size(); ++i) {
    const Node& n = nodes_[wanted_[i]];
    auto down = chain_.down(n.name);
    if (!down) return lost(std::move(down).error());
    // Still the directory the probe found.
    if (chain_.device() != n.device || chain_.inode() != n.inode)
      return lost(secure_fs::platform::destination_changed());
    chain_nodes_.push_back(wanted_[i]);
  }
  return chain_.fd();
}

// ---- the walk ----

Result<void> LinkResolution::resolve(std::uint32_t first) {
  std::vector<Frame> stack;
  stack.reserve(MAX_FOLLOWED_LINKS + 1);
  KOV_TRY(push(stack, first, Position{nodes_[links_[first].node].parent, 0}));
  while (!stack.empty()) {
    Frame& frame = stack.back();
    Component component{};
    if (!frame.components.next(component)) {
      finish(stack);
      continue;
    }
    switch (component.kind) {
      case ComponentKind::Root:
        refuse_all(stack);
        continue;
      case ComponentKind::CurDir:
        continue;
      case ComponentKind::Parent:
        frame.latest_before_up = std::max(frame.latest_before_up, frame.latest_done);
        if (frame.at.depth == 0 && frame.at.node == ROOT) {
          refuse_all(stack);
        } else if (!up(frame)) {
          // A copy: the name may be in a target that refusing unloads.
          const std::string_view name =
              frame.last.empty() ? nodes_[frame.at.node].name : frame.last;
          refuse_all(stack, {LinkRefusal::Kind::NotDirectory, std::string(name)});
        }
        continue;
      case ComponentKind::Normal:
        frame.last = component.text;
        break;
    }
    if (frame.at.depth > 0) {  // where nothing is, nothing is below either
      ++frame.at.depth;
      continue;
    }
    auto next = child(frame.at.node, component.text);
    if (!next) {
      abandon(stack);
      return std::unexpected(std::move(next).error());
    }
    if (*next == NONE) {
      frame.at.depth = 1;
      continue;
    }
    if (*next == FOLDED) {
      refuse_all(stack);
      continue;
    }
    const std::uint32_t id = link_at(*next);
    if (id == NONE) {
      frame.at.node = *next;
      continue;
    }
    const Link& link = links_[id];
    if (link.state == State::Done) {
      combine(stack, link);
    } else if (link.state == State::InProgress) {
      refuse_all(stack);  // a loop: the kernel goes round until it gives up
    } else {
      auto pushed = push(stack, id, Position{frame.at.node, 0});
      if (!pushed) {
        abandon(stack);
        return pushed;
      }
      // Each frame adds at least one link to the one below it, so the
      // bottom one needs more than the kernel follows.
      if (stack.size() > MAX_FOLLOWED_LINKS) {
        refuse(stack.front(), {LinkRefusal::Kind::Escapes});
        stack.erase(stack.begin());
      }
    }
  }
  return {};
}

bool LinkResolution::is_directory(std::uint32_t node) const {
  const Node& n = nodes_[node];
  switch (n.found) {
    case Found::Directory:
      return true;
    case Found::Link:
    case Found::Other:
      return false;
    case Found::Unknown:
    case Found::Absent:
      break;
  }
  return node == ROOT || n.first_below != NONE || n.directory_entry;
}

// A ".." stands on the frame's position: only a directory may be left that
// way. One that only this run makes is listed to be made first.
bool LinkResolution::up(Frame& frame) {
  if (frame.at.depth > 0 || !is_directory(frame.at.node)) return false;
  Node& n = nodes_[frame.at.node];
  if (destination_ >= 0 && n.found != Found::Directory && !n.to_make) {
    n.to_make = true;
    to_make_.push_back(frame.at.node);
  }
  frame.at.node = n.parent;
  frame.last = {};
  return true;
}

Result<void> LinkResolution::push(std::vector<Frame>& stack, std::uint32_t id, Position start) {
  Link& link = links_[id];
  if (!link.loaded) {
    auto target = decode_again(link);
    if (!target) return std::unexpected(std::move(target).error());
    link.target = std::move(*target);
    link.loaded = link.transient = true;
  }
  link.state = State::InProgress;
  stack.push_back(Frame{id, secure_fs::Components(link.target), {}, start, 1, -1, -1});
  return {};
}

void LinkResolution::finish(std::vector<Frame>& stack) {
  const Frame frame = stack.back();
  stack.pop_back();
  Link& link = links_[frame.link];
  link.state = State::Done;
  link.end = frame.at;
  link.followed = frame.followed;
  link.latest = std::max(link.index, frame.latest_done);
  link.latest_before_up = frame.latest_before_up;
  unload_transient(link);
  if (!stack.empty()) combine(stack, link);
}

void LinkResolution::combine(std::vector<Frame>& stack, const Link& done) {
  Frame& frame = stack.back();
  if (done.refusal) {
    refuse_all(stack, *done.refusal);
    return;
  }
  if (frame.followed + done.followed > MAX_FOLLOWED_LINKS) {
    refuse_all(stack);
    return;
  }
  frame.at = done.end;
  frame.followed += done.followed;
  frame.latest_done = std::max(frame.latest_done, done.latest);
  frame.latest_before_up = std::max(frame.latest_before_up, done.latest_before_up);
}

void LinkResolution::refuse(const Frame& frame, const LinkRefusal& refusal) {
  Link& link = links_[frame.link];
  link.state = State::Done;
  link.refusal = refusal;
  unload_transient(link);
}

// What refuses one frame refuses every frame below it: each follows the one above.
void LinkResolution::refuse_all(std::vector<Frame>& stack, const LinkRefusal& refusal) {
  for (const Frame& frame : stack) refuse(frame, refusal);
  stack.clear();
}

// After a failure to read, nothing is known of the links in progress.
void LinkResolution::abandon(std::vector<Frame>& stack) {
  for (const Frame& frame : stack) {
    Link& link = links_[frame.link];
    link.state = State::Unvisited;
    unload_transient(link);
  }
  stack.clear();
}

void LinkResolution::unload_transient(Link& link) {
  if (!link.transient) return;
  link.transient = link.loaded = false;
  std::string().swap(link.target);
}

}  // namespace kov_core::archive
