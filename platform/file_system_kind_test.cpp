#include "platform/file_system_kind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace ketterlin::platform {
namespace {

TEST(FileSystemKindTest, ClassifiesMounts) {
  struct Case {
    const char* name;
    uint64_t magic;
    std::string_view mount_type;
    std::string_view device_type;
    FileSystemKind expected;
  };
  constexpr uint64_t kFuse = 0x65735546;
  const Case cases[] = {
      {"ntfs driver", 0x5346544e, "", "", FileSystemKind::Ntfs},
      {"ntfs3 driver", 0x7366746e, "", "", FileSystemKind::Ntfs},
      {"exfat", 0x2011bab0, "", "", FileSystemKind::ExFat},
      {"vfat", 0x4d44, "", "", FileSystemKind::Fat32},
      {"ext4", 0xef53, "", "", FileSystemKind::Other},
      {"tmpfs", 0x01021994, "", "", FileSystemKind::Other},
      {"fuseblk holding ntfs", kFuse, "fuseblk", "ntfs", FileSystemKind::Ntfs},
      {"fuseblk holding exfat", kFuse, "fuseblk", "exfat", FileSystemKind::ExFat},
      {"fuseblk holding vfat", kFuse, "fuseblk", "vfat", FileSystemKind::Fat32},
      {"fuseblk, device unknown", kFuse, "fuseblk", "", FileSystemKind::Other},
      {"fuseblk with subtype", kFuse, "fuseblk.ntfs-3g", "", FileSystemKind::Ntfs},
      {"fuse with subtype", kFuse, "fuse.ntfs", "", FileSystemKind::Ntfs},
      {"sshfs", kFuse, "fuse.sshfs", "ntfs", FileSystemKind::Other},
      {"fuse, no mount found", kFuse, "", "ntfs", FileSystemKind::Other},
      {"upper-case subtype", kFuse, "fuseblk.NTFS", "", FileSystemKind::Other},
      {"names mean nothing without fuse", 0xef53, "fuseblk", "ntfs", FileSystemKind::Other},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_file_system(c.magic, c.mount_type, c.device_type), c.expected);
  }
}

TEST(FileSystemKindTest, FindsTheMountTypeOfADevice) {
  const std::string_view mountinfo =
      "22 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
      "35 22 8:17 / /mnt/windows rw,relatime shared:9 master:3 - fuseblk /dev/sdb1 rw,user_id=0\n"
      "36 22 0:45 / /mnt/remote rw - fuse.sshfs host:/ rw\n"
      "37 22 8:1 / /mnt/last rw - vfat /dev/sda1 rw";
  struct Case {
    const char* name;
    uint32_t major;
    uint32_t minor;
    std::string_view expected;
  };
  const Case cases[] = {
      {"root", 254, 0, "ext4"},
      {"with optional fields", 8, 17, "fuseblk"},
      {"anonymous device", 0, 45, "fuse.sshfs"},
      {"last line, no newline", 8, 1, "vfat"},
      {"minor is not a prefix", 8, 170, ""},
      {"absent", 9, 9, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(mount_type_of_device(mountinfo, c.major, c.minor), c.expected);
  }
  EXPECT_EQ(mount_type_of_device("", 8, 17), "");
}

TEST(FileSystemKindTest, ReadsTheUdevFileSystemType) {
  EXPECT_EQ(udev_file_system_type("S:disk/by-uuid/1\nE:ID_FS_UUID=1\nE:ID_FS_TYPE=ntfs\nG:x\n"),
            "ntfs");
  EXPECT_EQ(udev_file_system_type("E:ID_FS_TYPE=exfat"), "exfat");
  EXPECT_EQ(udev_file_system_type("E:ID_FS_TYPE_OLD=vfat\nE:ID_FS_USAGE=filesystem\n"), "");
  EXPECT_EQ(udev_file_system_type(""), "");
}

}  // namespace
}  // namespace ketterlin::platform
