// Where the site's folders lie, one against the other: drop, archive,
// failed, the staging area (workdir/.kelvora-watch) and, when set, the
// receipts' folder are folders none inside another. A drop folder inside
// the archive would be watched with every run filed there, an archive
// that is the drop folder would hand each imported run back as a
// delivery, a staging area in the drop folder would lie open to the
// senders, receipts in the drop folder would be taken as deliveries, and
// receipts among the run folders would be walked as runs (or lie behind
// the archive's rights, out of the senders' reach).
#pragma once
#include <string>

#include "watch/config.h"

// The path as the file system sees it: realpath(3) of its longest leading
// folders that are there, the rest as written with "." and ".." taken out
// and no slash doubled or at the end.
std::string resolvedFolder(const std::string& path);

// True when the folders are apart; otherwise each pair that is one
// folder, or one inside the other, is named on standard error.
bool foldersApart(const WatchConfig& config);
