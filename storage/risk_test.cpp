#include "storage/risk.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace ketterlin::storage {
namespace {

using enum RiskLevel;

std::vector<NormalizedPath> paths(std::initializer_list<const char*> texts) {
  std::vector<NormalizedPath> result;
  for (const char* text : texts) result.emplace_back(text);
  return result;
}

using PathList = std::vector<NormalizedPath> RiskPolicy::*;

// A policy whose listed fields hold the given paths, the others empty.
RiskPolicy policy_with(
    std::initializer_list<std::pair<PathList, std::initializer_list<const char*>>> lists,
    bool use_known_locations = false) {
  RiskPolicy policy;
  for (const auto& [list, texts] : lists) policy.*list = paths(texts);
  policy.use_known_locations = use_known_locations;
  return policy;
}

struct RateCase {
  const char* name;
  const char* path;
  RiskLevel expected;
};

void expect_ratings(const RiskPolicy& policy, std::initializer_list<RateCase> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(classify_risk(policy, NormalizedPath(c.path)), c.expected);
  }
}

TEST(RiskPolicy, IsEmptyOnlyWithNoEntriesAndTheFlagOff) {
  EXPECT_TRUE(RiskPolicy{}.is_empty());
  const struct {
    const char* name;
    PathList list;
  } lists[] = {
      {"high paths", &RiskPolicy::high_paths},     {"high trees", &RiskPolicy::high_trees},
      {"medium paths", &RiskPolicy::medium_paths}, {"medium trees", &RiskPolicy::medium_trees},
      {"low trees", &RiskPolicy::low_trees},
  };
  for (const auto& c : lists) {
    SCOPED_TRACE(c.name);
    RiskPolicy policy;
    policy.*c.list = paths({"c:\\x"});
    EXPECT_FALSE(policy.is_empty());
  }
  RiskPolicy known_locations;
  known_locations.use_known_locations = true;
  EXPECT_FALSE(known_locations.is_empty());
}

TEST(ClassifyRisk, EmptyPolicyRatesEverythingOrdinary) {
  expect_ratings(RiskPolicy{}, {
                                   {"drive", "c:", Ordinary},
                                   {"system folder", "c:\\windows\\system32", Ordinary},
                                   {"known location", "c:\\$recycle.bin", Ordinary},
                                   {"empty", "", Ordinary},
                               });
}

TEST(ClassifyRisk, TreeEntriesCoverThePathAndEverythingBelowIt) {
  expect_ratings(policy_with({{&RiskPolicy::high_trees, {"c:\\windows"}}}),
                 {
                     {"the entry itself", "c:\\windows", High},
                     {"below", "c:\\windows\\system32", High},
                     {"deep below", "c:\\windows\\system32\\drivers\\etc\\hosts", High},
                     {"longer name is not below", "c:\\windowsapps", Ordinary},
                     {"name with a suffix is not below", "c:\\windows.old\\x", Ordinary},
                     {"parent", "c:", Ordinary},
                     {"other drive", "d:\\windows", Ordinary},
                 });
  expect_ratings(policy_with({{&RiskPolicy::low_trees, {"c:\\tools"}}}),
                 {
                     {"prefix is not enough", "c:\\tools2", Ordinary},
                     {"below", "c:\\tools\\2", Low},
                 });
  expect_ratings(policy_with({{&RiskPolicy::low_trees, {"c:"}}}),
                 {
                     {"drive entry covers the drive", "c:", Low},
                     {"drive entry covers a file", "c:\\users\\a\\file.txt", Low},
                     {"other drive", "d:\\x", Ordinary},
                     {"drive-like prefix", "c:x", Ordinary},
                 });
  expect_ratings(policy_with({{&RiskPolicy::medium_trees, {"\\\\server\\share"}}}),
                 {
                     {"UNC share", "\\\\server\\share\\dir", Medium},
                     {"other share", "\\\\server\\shared", Ordinary},
                 });
}

TEST(ClassifyRisk, PathEntriesCoverOnlyThePathItself) {
  expect_ratings(policy_with({{&RiskPolicy::high_paths, {"c:\\windows"}}}),
                 {
                     {"the entry itself", "c:\\windows", High},
                     {"below", "c:\\windows\\system32", Ordinary},
                 });
  expect_ratings(policy_with({{&RiskPolicy::medium_paths, {"c:\\a", "c:\\b"}}}),
                 {
                     {"first entry", "c:\\a", Medium},
                     {"second entry", "c:\\b", Medium},
                     {"below an entry", "c:\\b\\x", Ordinary},
                 });
}

TEST(ClassifyRisk, FirstApplicableRuleWins) {
  expect_ratings(policy_with({{&RiskPolicy::high_paths, {"c:\\data\\x"}},
                              {&RiskPolicy::medium_trees, {"c:\\data"}}}),
                 {
                     {"high path inside a medium tree", "c:\\data\\x", High},
                     {"rest of the medium tree", "c:\\data\\y", Medium},
                     {"below the high path", "c:\\data\\x\\z", Medium},
                 });
  expect_ratings(policy_with({{&RiskPolicy::high_trees, {"c:\\a\\b"}},
                              {&RiskPolicy::medium_paths, {"c:\\a\\b\\c"}},
                              {&RiskPolicy::low_trees, {"c:\\a"}}}),
                 {
                     {"high tree beats medium path", "c:\\a\\b\\c", High},
                     {"low tree outside the high tree", "c:\\a\\x", Low},
                 });
  expect_ratings(
      policy_with({{&RiskPolicy::medium_paths, {"c:\\a"}}, {&RiskPolicy::low_trees, {"c:"}}}),
      {
          {"medium path beats low tree", "c:\\a", Medium},
          {"low tree elsewhere", "c:\\b", Low},
      });
}

TEST(ClassifyRisk, KnownLocationsDecideBeforeLowTrees) {
  RiskPolicy policy =
      policy_with({{&RiskPolicy::low_trees, {"c:\\users\\someone\\downloads", "c:\\cache"}}});
  expect_ratings(policy, {
                             {"flag off: low tree", "c:\\users\\someone\\downloads", Low},
                             {"flag off: known location ignored", "c:\\$recycle.bin", Ordinary},
                         });
  policy.use_known_locations = true;
  expect_ratings(policy, {
                             {"downloads is ordinary before low trees",
                              "c:\\users\\someone\\downloads", Ordinary},
                             {"unrecognised path falls through to low trees", "c:\\cache\\x", Low},
                             {"unrecognised path outside the lists", "c:\\data", Ordinary},
                         });
  policy.high_trees = paths({"c:\\users"});
  policy.medium_trees = paths({"d:"});
  expect_ratings(policy, {
                             {"high tree beats downloads", "c:\\users\\someone\\downloads", High},
                             {"medium tree beats recycle bin", "d:\\$recycle.bin", Medium},
                             {"medium tree beats temporary files", "d:\\windows\\temp", Medium},
                         });
}

TEST(ClassifyRisk, KnownLocationRatingsByCategory) {
  expect_ratings(policy_with({}, true),
                 {
                     {"downloads", "c:\\users\\someone\\downloads", Ordinary},
                     {"recycle bin", "c:\\$recycle.bin", High},
                     {"update cache", "c:\\windows\\softwaredistribution", High},
                     {"component store", "c:\\windows\\winsxs", High},
                     {"previous windows", "c:\\windows.old", Medium},
                     {"temporary files", "c:\\windows\\temp", Low},
                     {"system volume information", "c:\\system volume information", High},
                     {"onedrive", "c:\\users\\someone\\onedrive", Medium},
                     {"other cloud sync", "c:\\users\\someone\\dropbox", Medium},
                     {"docker data", "c:\\docker\\wsl", Medium},
                     {"wsl disk", "d:\\vm\\ext4.vhdx", Medium},
                     {"hyper-v", "c:\\hyper-v", Medium},
                     {"virtual machines", "d:\\virtual machines", Medium},
                     {"steam", "d:\\steamlibrary", Medium},
                     {"epic games", "c:\\epic games", Medium},
                     {"xbox games", "c:\\xboxgames", Medium},
                     {"windows apps", "c:\\program files\\windowsapps", High},
                     {"device backups", "c:\\mobilesync\\backup", Medium},
                     {"application cache", "c:\\users\\someone\\appdata\\local\\cache", Low},
                     {"no category", "c:\\users\\someone\\documents", Ordinary},
                 });
}

}  // namespace
}  // namespace ketterlin::storage
