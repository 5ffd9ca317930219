#include "scanner/windows_listing.h"

#include <utility>

namespace ketterlin::scanner::windows_fs {
namespace {

// One method's query buffer: 64 KiB, aligned as the records in it are.
struct alignas(8) ListingBuffer {
  std::byte bytes[kListingBufferBytes];
};

DirectoryError error_from(WindowsFileSystem& system, Hresult hresult) {
  return directory_error(hresult, system.system_message(hresult));
}

std::optional<platform::OsString> read_link_target(WindowsFileSystem& system,
                                                   platform::OsStringView link_path) {
  const std::optional<std::vector<std::byte>> data = system.read_reparse_data(link_path);
  if (!data) return std::nullopt;
  const std::optional<ReparseTarget> target = parse_reparse_data(*data);
  if (!target) return std::nullopt;
  const FullPathRoundTrip round_trips = [&system](std::u16string_view plain) {
    return system.full_path_round_trips(plain);
  };
  return os_string_from_utf16(link_target_text(*target, round_trips));
}

// How one listing method ended when it did not fail.
enum class MethodEnd : uint8_t { Listed, Refused };

struct Listing {
  WindowsFileSystem& system;
  OpenedDirectory& directory;
  platform::OsStringView directory_path;
  uint64_t volume_serial;
  const std::atomic<bool>& cancel;
  const ProgressCallback& progress;
  const DirectorySink& sink;
};

// Decodes one filled buffer into a batch and hands it over: progress first, then the sink.
// Answers false when the sink stops the listing.
bool deliver_batch(const Listing& listing, std::span<const std::byte> buffer, RecordLayout layout) {
  EntriesEvent batch;
  BatchCounts counts;
  for_each_record(buffer, layout, [&](const RawRecord& record) {
    batch.push_back(
        make_entry(listing.system, buffer, record, listing.volume_serial, listing.directory_path));
    counts.add(batch.back());
  });
  listing.progress(listing.directory_path, counts);
  return listing.sink(DirectoryEvent(std::move(batch)));
}

// Runs one method until its listing ends; Refused when its first query names an information
// class the file system does not support and a later method can try.
tl::expected<MethodEnd, DirectoryError> run_method(const Listing& listing,
                                                   const ListingMethod& method,
                                                   bool has_next_method) {
  const auto buffer = std::make_unique_for_overwrite<ListingBuffer>();
  const std::span<std::byte> bytes(buffer->bytes);
  bool first_query = true;
  while (true) {
    if (listing.cancel.load()) return tl::unexpected(directory_cancelled());
    const uint32_t info_class = first_query ? method.first_query_class : method.later_query_class;
    const tl::expected<void, Hresult> queried =
        listing.directory.query_directory(info_class, bytes);
    if (!queried) {
      switch (classify_query_failure(queried.error(), first_query, has_next_method)) {
        case QueryFailure::EndOfListing:
          return MethodEnd::Listed;
        case QueryFailure::NextMethod:
          return MethodEnd::Refused;
        case QueryFailure::Error:
          return tl::unexpected(error_from(listing.system, queried.error()));
        case QueryFailure::ErrorWithoutCode: {
          DirectoryError error = error_from(listing.system, queried.error());
          error.win32_code.reset();
          return tl::unexpected(std::move(error));
        }
      }
    }
    if (!deliver_batch(listing, bytes, method.layout)) {
      return tl::unexpected(directory_cancelled());
    }
    first_query = false;
  }
}

}  // namespace

LinkEntry resolve_link(WindowsFileSystem& system, LinkTag tag, platform::OsStringView link_path) {
  LinkEntry link;
  switch (tag) {
    case LinkTag::MountPoint: {
      const platform::OsString query_path = mount_point_query_path(link_path);
      if (system.volume_name_for_mount_point(query_path)) {
        link.link_kind = LinkKind::VolumeMountPoint;
        link.link_target = system.volume_name_for_mount_point(query_path);
      } else {
        link.link_kind = LinkKind::Junction;
        link.link_target = read_link_target(system, link_path);
      }
      break;
    }
    case LinkTag::SymbolicLink:
      link.link_kind = LinkKind::SymbolicLink;
      link.link_target = read_link_target(system, link_path);
      break;
    case LinkTag::Other:
      link.link_kind = LinkKind::OtherLink;
      link.link_target = read_link_target(system, link_path);
      break;
  }
  return link;
}

EntryMetadata make_entry(WindowsFileSystem& system, std::span<const std::byte> buffer,
                         const RawRecord& record, uint64_t volume_serial,
                         platform::OsStringView directory_path) {
  EntryMetadata entry;
  entry.file_id = record.file_id;
  entry.volume_serial = volume_serial;
  entry.name = record_name(buffer, record);
  entry.logical_bytes = size_or_zero(record.end_of_file);
  entry.size_on_disk_bytes = size_or_zero(record.allocation_size);
  entry.modified_at_epoch_seconds = epoch_seconds_from_file_time(record.last_write_time);
  entry.is_directory = (record.attributes & kAttributeDirectory) != 0;
  entry.flags = entry_flags(record.attributes, record.reparse_tag);
  if (const std::optional<LinkTag> tag = link_tag(record.attributes, record.reparse_tag)) {
    entry.kind = resolve_link(system, *tag, platform::join_path(directory_path, entry.name));
  } else if (entry.is_directory) {
    entry.kind = DirectoryEntry{};
  } else {
    entry.kind = FileEntry{};
  }
  return entry;
}

tl::expected<void, DirectoryError> list_directory(
    WindowsFileSystem& system, platform::OsStringView directory_path,
    std::optional<uint64_t> expected_volume, bool query_file_system,
    const std::atomic<bool>& cancel, const ProgressCallback& progress, const DirectorySink& sink) {
  if (cancel.load()) return tl::unexpected(directory_cancelled());
  tl::expected<std::unique_ptr<OpenedDirectory>, Hresult> opened =
      system.open_directory(directory_path);
  if (!opened) return tl::unexpected(error_from(system, opened.error()));
  OpenedDirectory& directory = **opened;

  const tl::expected<uint32_t, Hresult> serial = directory.volume_serial();
  if (!serial) return tl::unexpected(error_from(system, serial.error()));
  std::optional<storage::FileSystemKind> file_system;
  if (query_file_system) {
    const std::optional<std::u16string> name = directory.file_system_name();
    file_system = name ? file_system_kind(*name) : storage::FileSystemKind::Other;
  }
  const VolumeDecision decision = decide_volume(*serial, expected_volume, file_system);
  if (decision.event && !sink(DirectoryEvent(*decision.event))) {
    return tl::unexpected(directory_cancelled());
  }
  if (!decision.list) return {};

  const Listing listing{system, directory, directory_path, *serial, cancel, progress, sink};
  for (std::size_t i = 0; i < kListingMethods.size(); ++i) {
    const bool has_next_method = i + 1 < kListingMethods.size();
    const tl::expected<MethodEnd, DirectoryError> ended =
        run_method(listing, kListingMethods[i], has_next_method);
    if (!ended) return tl::unexpected(ended.error());
    if (*ended == MethodEnd::Listed) return {};
  }
  return {};  // the last method never answers Refused
}

}  // namespace ketterlin::scanner::windows_fs
