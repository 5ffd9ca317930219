#include "scanner/live.h"

namespace ketterlin::scanner {

void LiveScanObservation::mark_finished(storage::NodeId folder) {
  if (finished_folders.size() <= folder) finished_folders.resize(folder + 1);
  finished_folders[folder] = true;
}

}  // namespace ketterlin::scanner
