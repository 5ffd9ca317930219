#include "host/browser/browser_model.h"

#include <gtest/gtest.h>

#include <map>

#include "host/browser/browser_view.h"
#include "host/session/test_trees.h"

namespace ketterlin::host {
namespace {

using testing::sample_result;

// The sample's sizes on disk (test_trees.h): docs 1 MiB + 8 KiB (it holds the hard-link group's
// primary), top.txt 4 KiB, media, link and secret 0.
constexpr uint64_t kDocs = (1 << 20) + 2 * 4096;
constexpr uint64_t kListed = kDocs + 4096;

// Removes nothing; records what it was asked to remove and fails on the paths it is told to.
class FakeRemover final : public EntryRemover {
 public:
  tl::expected<void, platform::OsError> remove(const platform::OsString& path) override {
    const std::string text = platform::to_utf8_lossy(path);
    asked.push_back(text);
    if (const auto failure = failures.find(text); failure != failures.end()) {
      return tl::unexpected(failure->second);
    }
    return {};
  }
  std::vector<std::string> asked;
  std::map<std::string, platform::OsError> failures;
};

class BrowserModelTest : public ::testing::Test {
 protected:
  explicit BrowserModelTest(uint64_t used_bytes = kListed + 2 * (1 << 20))
      : result_(sample_result(used_bytes)), tree_(*result_.reports[0].tree) {}

  BrowserModel model(bool apparent = false) {
    return BrowserModel({{"/v", &tree_, unknown_space_bytes(result_, 0)}}, apparent);
  }

  static std::vector<std::string> names(const BrowserModel& model) {
    std::vector<std::string> out;
    for (const Row& row : model.rows()) out.push_back(std::string(model.name(row)));
    return out;
  }
  static std::string selected_name(const BrowserModel& model) {
    return model.selected() ? std::string(model.name(*model.selected())) : "";
  }
  // Moves the cursor to the row called `name`.
  static void select(BrowserModel& model, const std::string& name) {
    const std::vector<std::string> listed = names(model);
    const auto found = std::find(listed.begin(), listed.end(), name);
    ASSERT_NE(found, listed.end()) << name;
    model.move_to(static_cast<std::size_t>(found - listed.begin()));
  }

  ScanResult result_;
  ScannedTree tree_;
};

TEST_F(BrowserModelTest, SortKeysOrderTheRowsAndTheSameKeyAgainReverses) {
  struct Case {
    const char* name;
    std::vector<SortKey> keys;
    bool apparent;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"opens by size, largest first, Unknown Space among them",
       {},
       false,
       {"Unknown Space", "docs", "top.txt", "link", "media", "secret"}},
      {"size again: smallest first",
       {SortKey::Size},
       false,
       {"secret", "media", "link", "top.txt", "docs", "Unknown Space"}},
      {"by name",
       {SortKey::Name},
       false,
       {"Unknown Space", "docs", "link", "media", "secret", "top.txt"}},
      {"by name reversed",
       {SortKey::Name, SortKey::Name},
       false,
       {"top.txt", "secret", "media", "link", "docs", "Unknown Space"}},
      {"by items: docs holds 3, media 1",
       {SortKey::Items},
       false,
       {"docs", "media", "Unknown Space", "link", "secret", "top.txt"}},
      // Node ids give the modified times: docs 1, media 2, secret 7, top.txt 8, link 9.
      {"by modified time, newest first",
       {SortKey::Modified},
       false,
       {"link", "top.txt", "secret", "media", "docs", "Unknown Space"}},
      {"another key starts in its own first order",
       {SortKey::Name, SortKey::Name, SortKey::Size},
       false,
       {"Unknown Space", "docs", "top.txt", "link", "media", "secret"}},
      {"logical sizes: no Unknown Space, top.txt 100 B",
       {},
       true,
       {"docs", "top.txt", "link", "media", "secret"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    BrowserModel browser = model(test.apparent);
    const std::string first = selected_name(browser);
    for (const SortKey key : test.keys) browser.sort(key);
    EXPECT_EQ(names(browser), test.expected);
    EXPECT_EQ(selected_name(browser), first) << "the cursor stays on its entry";
  }
}

TEST_F(BrowserModelTest, OpeningAndGoingUpKeepTheCursorWhereTheUserLeftIt) {
  BrowserModel browser = model();
  EXPECT_EQ(browser.place_size(), kListed + 2 * (1 << 20));
  EXPECT_FALSE(browser.go_up()) << "the root of the only target is the top";

  select(browser, "top.txt");
  EXPECT_FALSE(browser.open_selected()) << "a file does not open";
  select(browser, "docs");
  ASSERT_TRUE(browser.open_selected());
  EXPECT_EQ(browser.place_path(), "/v/docs");
  EXPECT_EQ(names(browser), (std::vector<std::string>{"same", "notes.txt", "report.pdf"}));
  EXPECT_EQ(browser.cursor(), 0u);
  EXPECT_EQ(browser.place_size(), kDocs);
  EXPECT_EQ(browser.place_items(), 3u);

  browser.move_cursor(-5);
  EXPECT_EQ(browser.cursor(), 0u);
  browser.move_cursor(99);
  EXPECT_EQ(browser.cursor(), 2u);
  browser.move_to(1);
  EXPECT_EQ(selected_name(browser), "notes.txt");

  // Sorting keeps the cursor on its entry, in this folder and the ones visited after.
  browser.sort(SortKey::Name);
  EXPECT_EQ(selected_name(browser), "notes.txt");
  ASSERT_TRUE(browser.go_up());
  EXPECT_EQ(selected_name(browser), "docs");
  EXPECT_EQ(names(browser).front(), "Unknown Space");
  browser.toggle_apparent();
  EXPECT_EQ(selected_name(browser), "docs") << "the size kind keeps the cursor too";
  EXPECT_EQ(browser.place_size(), (1u << 20) + 3000 + 10 + 100);

  select(browser, "secret");
  EXPECT_FALSE(browser.open_selected()) << "a restricted folder has nothing to open";
}

TEST_F(BrowserModelTest, LabelsCarryTheReportsMarks) {
  BrowserModel browser = model();
  browser.sort(SortKey::Name);
  std::vector<std::string> labels;
  for (const Row& row : browser.rows()) labels.push_back(browser.label(row));
  EXPECT_EQ(labels, (std::vector<std::string>{"Unknown Space", "docs/", "link -> docs", "media/",
                                              "secret [restricted]", "top.txt"}));
  select(browser, "media");
  ASSERT_TRUE(browser.open_selected());
  EXPECT_EQ(browser.label(browser.rows()[0]), "big.bin [hard link, 2 names, counted elsewhere]");
}

TEST_F(BrowserModelTest, DeletingTakesTheEntryOffEveryTotalAboveIt) {
  BrowserModel browser = model();
  FakeRemover remover;
  select(browser, "docs");
  ASSERT_TRUE(browser.open_selected());
  select(browser, "same");  // the hard-link group's primary: 1 MiB
  ASSERT_TRUE(browser.delete_selected(remover));
  EXPECT_EQ(remover.asked, (std::vector<std::string>{"/v/docs/same"}));
  EXPECT_EQ(names(browser), (std::vector<std::string>{"notes.txt", "report.pdf"}));
  EXPECT_EQ(browser.cursor(), 0u) << "the row that took its place";
  EXPECT_EQ(browser.place_size(), 2u * 4096);
  EXPECT_EQ(browser.place_items(), 2u);

  browser.move_to(1);
  ASSERT_TRUE(browser.delete_selected(remover));
  EXPECT_EQ(browser.cursor(), 0u) << "the last row gone, the cursor on the new last";
  ASSERT_TRUE(browser.go_up());
  EXPECT_EQ(selected_name(browser), "docs");
  const Row docs = *browser.selected();
  EXPECT_EQ(browser.sizes(docs), (Sizes{10, 4096}));
  EXPECT_EQ(browser.items(docs), 1u);
  EXPECT_EQ(browser.place_sizes(), (Sizes{10 + 100, 2 * 4096 + 2 * (1 << 20)}))
      << "the root keeps its Unknown Space";
  EXPECT_EQ(browser.place_items(), 7u);

  // A folder goes with everything below it.
  ASSERT_TRUE(browser.delete_selected(remover));
  EXPECT_EQ(remover.asked.back(), "/v/docs");
  EXPECT_EQ(browser.place_items(), 5u);
  EXPECT_EQ(browser.place_sizes(), (Sizes{100, 4096 + 2 * (1 << 20)}));
}

TEST_F(BrowserModelTest, AFailedOrRefusedDeletionChangesNothing) {
  struct Case {
    const char* name;
    std::string row;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"the remover fails", "top.txt",
       "cannot delete /v/top.txt: " + platform::to_string(platform::OsError{13})},
      {"a restricted folder", "secret",
       "not deleted: /v/secret is or holds a folder that could not be read"},
      {"the Unknown Space", "Unknown Space", "only an entry of a folder can be deleted"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    BrowserModel browser = model();
    FakeRemover remover;
    remover.failures["/v/top.txt"] = platform::OsError{13};
    const std::vector<std::string> before = names(browser);
    const Sizes sizes_before = browser.place_sizes();
    select(browser, test.row);
    const std::size_t cursor = browser.cursor();
    auto deleted = browser.delete_selected(remover);
    ASSERT_FALSE(deleted);
    EXPECT_EQ(to_string(deleted.error()), test.expected);
    EXPECT_EQ(names(browser), before);
    EXPECT_EQ(browser.cursor(), cursor);
    EXPECT_EQ(browser.place_sizes(), sizes_before);
    EXPECT_EQ(browser.place_items(), 9u);
  }
}

TEST(BrowserModelTargetsTest, SeveralTargetsAreListedFirst) {
  const ResultTree first = testing::build_tree(testing::sample_nodes());
  const ResultTree second =
      testing::build_tree({testing::node(0, std::nullopt, "/w", NodeRecordKind::Folder),
                           testing::node(1, 0, "/w/a", NodeRecordKind::File, 5, 8192)});
  const ScannedTree first_view(first), second_view(second);
  BrowserModel browser({{"/v", &first_view, std::nullopt},
                        {"/gone", nullptr, std::nullopt},
                        {"/w", &second_view, std::nullopt}});
  std::vector<std::string> labels;
  for (const Row& row : browser.rows()) labels.push_back(browser.label(row));
  EXPECT_EQ(labels, (std::vector<std::string>{"/v/", "/w/", "/gone [unavailable]"}));
  EXPECT_EQ(browser.place_size(), (1u << 20) + 3 * 4096 + 8192);
  EXPECT_EQ(browser.place_path(), "");
  EXPECT_FALSE(browser.go_up());

  browser.move_to(2);
  EXPECT_FALSE(browser.open_selected()) << "an unavailable target does not open";
  browser.move_to(1);
  ASSERT_TRUE(browser.open_selected());
  EXPECT_EQ(browser.place_path(), "/w");
  FakeRemover remover;
  ASSERT_TRUE(browser.delete_selected(remover));
  ASSERT_TRUE(browser.go_up());
  EXPECT_EQ(browser.label(*browser.selected()), "/w/");
  EXPECT_EQ(browser.size(*browser.selected()), 0u);
  auto whole_target = browser.delete_selected(remover);
  ASSERT_FALSE(whole_target);
  EXPECT_EQ(whole_target.error().kind, BrowseError::Kind::NotDeletable);
}

// The browser's keys for deleting: refused without --allow-delete and for a loaded document,
// done only after "y".
TEST_F(BrowserModelTest, TheDeleteKeyAsksFirstAndSaysWhyItCannot) {
  struct Case {
    const char* name;
    bool allow;
    bool saved;
    char answer;
    std::string message;
    std::size_t rows_after;
  };
  const std::vector<Case> cases = {
      {"deleting not enabled", false, false, 'y',
       "deleting is off: start ketterlin-scan with --allow-delete to delete with d", 6},
      {"a loaded document", true, true, 'y',
       "a loaded document cannot be changed: deleting works only on a scan just taken", 6},
      {"confirmed", true, false, 'y', "deleted /v/top.txt (4.0 KiB)", 5},
      {"not confirmed", true, false, 'n', "nothing deleted", 6},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    BrowserModel browser = model();
    FakeRemover remover;
    Browser view(browser, {test.allow, test.saved ? nullptr : &remover, ""});
    select(browser, "top.txt");
    view.render(80, 24);
    EXPECT_TRUE(view.handle(Key::character('d')));
    if (test.allow && !test.saved) {
      EXPECT_EQ(view.message(), "");
      EXPECT_TRUE(view.handle(Key::character(test.answer)));
    }
    EXPECT_EQ(view.message(), test.message);
    EXPECT_EQ(browser.rows().size(), test.rows_after);
    EXPECT_EQ(remover.asked.size(), test.rows_after == 5 ? 1u : 0u);
    EXPECT_FALSE(view.handle(Key::character('q')));
  }
}

}  // namespace
}  // namespace ketterlin::host
