#include "storage/known_locations.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ketterlin::storage {
namespace {

using Location = std::optional<KnownLocation>;
using enum KnownLocation;

struct ClassifyCase {
  const char* name;
  const char* path;
  Location expected;
};

// One row per table row at least, in table order, matched by the rule that row alone carries.
const ClassifyCase kEveryRow[] = {
    {"recycle bin", "c:\\$recycle.bin\\s-1-5-21\\x", RecycleBin},
    {"recycle bin anywhere", "d:\\$recycle.bin", RecycleBin},
    {"system volume information", "c:\\system volume information\\tracking.log",
     SystemVolumeInformation},
    {"update cache", "c:\\windows\\softwaredistribution\\download", WindowsUpdateCache},
    {"component store", "c:\\windows\\winsxs\\amd64_x", ComponentStore},
    {"previous windows", "c:\\windows.old\\users", PreviousWindows},
    {"windows temp", "c:\\windows\\temp\\x.log", TemporaryFiles},
    {"windows system temp", "c:\\windows\\systemtemp", TemporaryFiles},
    {"local temp", "c:\\users\\someone\\appdata\\local\\temp\\x", TemporaryFiles},
    {"downloads", "c:\\users\\someone\\downloads", Downloads},
    {"file in downloads", "c:\\users\\someone\\downloads\\setup.exe", Downloads},
    {"onedrive", "c:\\users\\someone\\onedrive\\docs", OneDrive},
    {"onedrive business", "c:\\users\\someone\\onedrive - work\\docs", OneDrive},
    {"dropbox", "c:\\users\\someone\\dropbox", OtherCloudSync},
    {"google drive", "g:\\google drive\\x", OtherCloudSync},
    {"icloud drive", "c:\\users\\someone\\icloud drive", OtherCloudSync},
    {"docker wsl", "c:\\users\\someone\\appdata\\docker\\wsl\\data", DockerData},
    {"docker disk", "d:\\images\\docker_data.vhdx", DockerData},
    {"wsl disk", "d:\\vm\\ubuntu\\ext4.vhdx", WslDisk},
    {"hyper-v", "c:\\programdata\\microsoft\\windows\\hyper-v", HyperV},
    {"virtualbox", "c:\\users\\someone\\virtualbox vms\\x.vdi", VirtualMachines},
    {"virtual machines", "d:\\virtual machines", VirtualMachines},
    {"steam", "c:\\program files (x86)\\steam", Steam},
    {"steamapps", "c:\\games\\steamapps\\common", Steam},
    {"steam library", "d:\\steamlibrary", Steam},
    {"epic games", "c:\\program files\\epic games\\x", EpicGames},
    {"xbox games", "e:\\xboxgames\\halo", XboxGames},
    {"windows apps", "c:\\program files\\windowsapps\\app", WindowsApps},
    {"apple backup", "c:\\users\\someone\\appdata\\roaming\\apple\\mobilesync\\backup\\1",
     DeviceBackups},
    {"samsung backup", "c:\\users\\someone\\documents\\samsung\\smartswitch", DeviceBackups},
    {"nested cache",
     "c:\\users\\someone\\appdata\\local\\google\\chrome\\user data\\default\\code cache",
     ApplicationCache},
    {"cache folder", "c:\\users\\someone\\appdata\\local\\cache", ApplicationCache},
    {"cache inside a name", "c:\\users\\someone\\appdata\\local\\app\\gpucache2", ApplicationCache},
};

// Placed first so that these calls race to build the pattern set; every thread must still see
// the whole table.
TEST(ClassifyKnownLocation, GivesTheSameAnswersFromConcurrentThreads) {
  constexpr int kThreads = 4;
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&mismatches, t] {
      for (int round = 0; round < 50; ++round) {
        for (const auto& c : kEveryRow) {
          if (classify_known_location(c.path) != c.expected) ++mismatches[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

TEST(ClassifyKnownLocation, RecognisesEveryRow) {
  for (const auto& c : kEveryRow) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_known_location(c.path), c.expected);
  }
}

TEST(ClassifyKnownLocation, EarlierRowWinsWhereRowsOverlap) {
  const ClassifyCase cases[] = {
      {"component store inside previous windows", "c:\\windows.old\\windows\\winsxs",
       ComponentStore},
      {"temp inside previous windows", "c:\\windows.old\\windows\\temp", PreviousWindows},
      {"update cache inside previous windows", "c:\\windows.old\\windows\\softwaredistribution",
       WindowsUpdateCache},
      {"cache inside temp", "c:\\users\\someone\\appdata\\local\\temp\\cache", TemporaryFiles},
      {"steam cache under appdata", "c:\\users\\someone\\appdata\\local\\steam\\htmlcache", Steam},
      {"downloads inside onedrive", "c:\\users\\someone\\downloads\\onedrive", Downloads},
      {"recycle bin before everything", "c:\\$recycle.bin\\windows\\winsxs", RecycleBin},
      {"temp before games", "c:\\users\\someone\\appdata\\local\\temp\\steam", TemporaryFiles},
      {"onedrive before cloud sync", "c:\\dropbox\\onedrive", OneDrive},
      {"windows apps after games", "c:\\windowsapps\\xboxgames", XboxGames},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_known_location(c.path), c.expected);
  }
}

TEST(ClassifyKnownLocation, TextsThatOccurWithoutMatchingGiveNoCategory) {
  const ClassifyCase cases[] = {
      {"empty", "", std::nullopt},
      {"separators only", "\\\\", std::nullopt},
      {"system folder", "c:\\windows\\system32", std::nullopt},
      {"downloads right under users", "c:\\users\\downloads", std::nullopt},
      {"downloads not under users", "c:\\data\\someone\\downloads", std::nullopt},
      {"file name must be the last component", "d:\\vm\\ubuntu\\ext4.vhdx.bak", std::nullopt},
      {"vhdx as a folder", "d:\\ext4.vhdx\\x", std::nullopt},
      {"appdata local alone", "c:\\users\\someone\\appdata\\local", std::nullopt},
      {"cache before appdata local", "c:\\cache\\appdata\\local", std::nullopt},
      {"cache under roaming", "c:\\users\\someone\\appdata\\roaming\\cache", std::nullopt},
      {"steam as part of a name", "c:\\docs\\steam notes", std::nullopt},
      {"recycle bin as part of a name", "c:\\old $recycle.bin", std::nullopt},
      {"sequence split by another component", "c:\\windows\\x\\temp", std::nullopt},
      {"sequence in reverse", "c:\\temp\\windows", std::nullopt},
      {"onedrive prefix without the dash", "c:\\users\\a\\onedrive work", std::nullopt},
      {"onedrive prefix not at the start", "c:\\my onedrive - work", std::nullopt},
      {"upper case is not normalised", "C:\\$Recycle.Bin", std::nullopt},
      {"temp in another folder", "c:\\temp", std::nullopt},
      {"backup without mobilesync", "c:\\backup", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_known_location(c.path), c.expected);
  }
}

}  // namespace
}  // namespace ketterlin::storage
