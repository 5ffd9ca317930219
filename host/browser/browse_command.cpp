#include "host/browser/browse_command.h"

#include <memory>
#include <vector>

#include "host/browser/browser_model.h"
#include "host/browser/browser_view.h"
#include "host/browser/terminal_screen.h"
#include "host/cli/format.h"
#include "host/exports/saved_document.h"
#include "platform/process.h"

namespace ketterlin::host {
namespace {

int fail(const std::string& text, int status) {
  platform::write_standard_error("ketterlin-scan: " + text + "\n");
  return status;
}

// Draws and reads keys until the user quits or a signal comes; the screen is restored before
// this returns.
int run_browser(BrowserModel& model, BrowserSettings settings) {
  auto screen = TerminalScreen::open();
  if (!screen) return fail(to_string(screen.error()), 2);
  Browser browser(model, std::move(settings));
  for (;;) {
    const ScreenSize size = screen->size();
    screen->draw(browser.render(size.columns, size.rows));
    const Key key = screen->next_key();
    if (key.kind == Key::Kind::Signal) return 128 + static_cast<int>(key.value);
    if (!browser.handle(key)) return 0;
  }
}

}  // namespace

bool browser_available() {
  auto checked = TerminalScreen::check();
  if (!checked) fail(to_string(checked.error()), 2);
  return checked.has_value();
}

int browse_scan(const ScanResult& result, const BrowseOptions& options) {
  std::vector<std::unique_ptr<ScannedTree>> trees;
  std::vector<BrowseTarget> targets;
  for (std::size_t i = 0; i < result.reports.size(); ++i) {
    BrowseTarget target;
    target.path = i < result.targets.size() ? result.targets[i] : "";
    if (const auto& tree = result.reports[i].tree) {
      trees.push_back(std::make_unique<ScannedTree>(*tree));
      target.tree = trees.back().get();
      target.unknown_space = unknown_space_bytes(result, i);
    }
    targets.push_back(std::move(target));
  }
  BrowserModel model(std::move(targets), options.apparent);
  FileSystemRemover remover;
  return run_browser(model, {options.allow_delete, &remover,
                             "- scanned in " + human_duration(result.elapsed_millis)});
}

int browse_saved_document(const platform::OsString& path, const BrowseOptions& options) {
  if (!browser_available()) return 2;
  auto document = load_saved_document(path);
  const std::string name = platform::to_utf8_lossy(path);
  if (!document) return fail("cannot load " + name + ": " + to_string(document.error()), 1);
  std::vector<BrowseTarget> targets;
  for (const SavedTarget& saved : document->targets) {
    targets.push_back({saved.path, saved.tree ? &*saved.tree : nullptr, saved.unknown_space});
  }
  BrowserModel model(std::move(targets), options.apparent);
  return run_browser(model, {options.allow_delete, nullptr, "- loaded " + printable(name)});
}

}  // namespace ketterlin::host
