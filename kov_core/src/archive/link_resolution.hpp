#pragma once
// The check of symbolic-link targets by what they resolve to, shared by
// testing and extraction; private to the archive sources.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "archive/archive_internal.hpp"
#include "kov_core/archive.hpp"
#include "kov_core/fd.hpp"
#include "secure_fs/secure_fs.hpp"
#include "util/directory_chain.hpp"

namespace kov_core::archive {

// The kernel gives up after following this many links in one resolution.
inline constexpr std::uint32_t MAX_FOLLOWED_LINKS = 40;

// The selected symbolic links of one test or extraction, each resolved one
// component at a time as the kernel will resolve it: a ".." after a link is
// taken from where the link points. The links met are the selected link
// entries of the archive and, when extracting, the links already under the
// destination, which win at the same path. Each link is resolved once and its
// result kept, so a link that many others follow is walked once.
//
// A link is refused when its resolution leaves the root at any point, needs
// more than MAX_FOLLOWED_LINKS links, applies a ".." after following a link
// that comes later in the index, or applies a ".." after anything but a
// directory. The kernel takes "x/.." from wherever x points, so a name that
// is missing now could be made a link by a later run (or a later entry of a
// run that stops first) and lead the ".." elsewhere; a directory is never
// replaced. The directories counted are those of the destination and those
// the run makes; the latter are made before the link that needs them
// (directories_to_make()).
class LinkResolution {
 public:
  // Every entry of `archive` takes part; nothing is read beyond the archive.
  explicit LinkResolution(const Archive& archive);
  // `selected`: the entries that take part, in index order, all from
  // archive.entries(); `destination`: the open destination directory.
  LinkResolution(const Archive& archive, std::span<const Entry* const> selected, int destination);

  LinkResolution(const LinkResolution&) = delete;
  LinkResolution& operator=(const LinkResolution&) = delete;

  // Decodes each selected link's target once; an error is kept for that
  // link's turn, and the others then take it for no link. Targets are kept
  // while their total fits in `budget` bytes; the rest are decoded again
  // when needed. `decoder` must outlive this object.
  void decode(Decoder& decoder, const crypto::ArchiveKey* key, std::uint64_t budget);
  // With the budget of an index: a share of the available memory.
  void decode(Decoder& decoder, const crypto::ArchiveKey* key);

  // The target of selected link entry `index` once it resolves inside: else
  // its decoding error, Corrupt unsafe_link for why it is refused, or Io from
  // reading the destination. Directory descriptors opened for it are closed
  // before it returns.
  Result<std::string> take(std::size_t index);

  // When extracting: the directories, relative to the destination, that a
  // ".." of a link resolved so far stands on and that only this run makes.
  // Each is handed out once; the caller makes them before it makes the link
  // taken last, so that no ".." of a link is ever taken after a missing name.
  [[nodiscard]] std::vector<std::string> directories_to_make();

 private:
  static constexpr std::uint32_t NONE = UINT32_MAX;
  static constexpr std::uint32_t FOLDED = UINT32_MAX - 1;
  static constexpr std::uint32_t ROOT = 0;
  // Directories of the destination held open at once while links resolve.
  static constexpr std::size_t OPEN_DIRECTORIES = 16;

  // What the destination holds at a node, read once when first needed.
  enum class Found : std::uint8_t { Unknown, Absent, Directory, Link, Other };
  enum class State : std::uint8_t { Unvisited, InProgress, Done };

  // A path below the root: one of the archive's link paths, an ancestor of
  // one, or a name read in the destination.
  struct Node {
    std::string_view name;
    std::uint32_t parent = NONE;
    std::uint32_t first_below = NONE;   // the first selected entry strictly below
    std::uint32_t archive_link = NONE;  // the selected link entry stored here
    std::uint32_t found_link = NONE;    // the destination's link here
    Found found = Found::Unknown;
    bool archive = false;          // one of the archive's link paths or above one
    bool directory_entry = false;  // a selected directory entry is stored here
    bool to_make = false;          // listed for directories_to_make()
    dev_t device = 0;              // of a directory found
    ino_t inode = 0;
  };

  // A node, or `depth` levels of names below it where nothing is.
  struct Position {
    std::uint32_t node = ROOT;
    std::uint32_t depth = 0;
  };

  struct Link {
    Link(std::uint32_t at, std::int64_t entry) noexcept : node(at), index(entry) {}

    std::uint32_t node;
    std::int64_t index;  // the entry's index; -1 for a link of the destination
    std::string target;
    bool loaded = false;     // target holds the text
    bool transient = false;  // loaded for the walk in progress only
    bool failed = false;     // not decodable
    State state = State::Unvisited;
    // Once Done: why it is refused, if it is; else where it leads, and what that took.
    std::optional<LinkRefusal> refusal;
    Position end;
    std::uint32_t followed = 0;          // links followed, this one included
    std::int64_t latest = -1;            // latest index among them
    std::int64_t latest_before_up = -1;  // latest index among links completed before a ".."
  };

  struct Frame {
    std::uint32_t link;
    secure_fs::Components components;
    std::string_view last;  // the last name walked, from the target
    Position at;
    std::uint32_t followed;
    std::int64_t latest_done;
    std::int64_t latest_before_up;
  };

  using ChildKey = secure_fs::ChildKey;

  template <class ForEachSelected>
  void build(ForEachSelected&& for_each_selected);
  std::uint32_t add_node(std::uint32_t parent, std::string_view name);

  Result<void> settle(std::uint32_t node);
  // The node `name` below `node`, NONE where nothing can be, FOLDED where
  // that name differs from one of the archive's only as a case-folding file
  // system ignores.
  Result<std::uint32_t> child(std::uint32_t node, std::string_view name);
  void apply(std::uint32_t node, secure_fs::platform::Probed found);
  [[nodiscard]] std::uint32_t link_at(std::uint32_t node) const;
  // The destination's directory at `node`, found as a directory: reached
  // from the root without following a link, and still that directory.
  Result<int> directory(std::uint32_t node);

  Result<std::string> decode_again(const Link& link);
  Result<void> resolve(std::uint32_t link);
  Result<void> push(std::vector<Frame>& stack, std::uint32_t link, Position start);
  void finish(std::vector<Frame>& stack);
  void combine(std::vector<Frame>& stack, const Link& done);
  [[nodiscard]] bool is_directory(std::uint32_t node) const;
  [[nodiscard]] bool up(Frame& frame);
  void refuse(const Frame& frame, const LinkRefusal& refusal);
  void refuse_all(std::vector<Frame>& stack, const LinkRefusal& refusal = {});
  void abandon(std::vector<Frame>& stack);
  void unload_transient(Link& link);

  const Archive& archive_;
  int destination_;
  Decoder* decoder_ = nullptr;
  const crypto::ArchiveKey* key_ = nullptr;
  std::vector<Node> nodes_;
  std::unordered_map<ChildKey, std::uint32_t, secure_fs::ChildKeyHash> children_;
  // The archive's nodes by the collision key of their name, held in keys_.
  std::unordered_map<ChildKey, std::uint32_t, secure_fs::ChildKeyHash> folded_;
  std::deque<std::string> keys_;
  // A deque: frames hold views of the targets while links are added.
  std::deque<Link> links_;
  std::unordered_map<std::size_t, std::uint32_t> by_index_;
  std::unordered_map<std::uint32_t, Error> errors_;
  std::deque<std::string> names_;  // of the nodes read in the destination
  std::vector<std::uint32_t> to_make_;
  util::DirectoryChain chain_{O_PATH, OPEN_DIRECTORIES};
  std::vector<std::uint32_t> chain_nodes_;  // the chain's levels, from the root
  std::vector<std::uint32_t> wanted_;
};

}  // namespace kov_core::archive
