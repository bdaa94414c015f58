#pragma once
// Persistence failures that the store deliberately keeps from the user
// (writes are best effort; a database that will not open leaves the store in
// memory) are still written to the diagnostic log, so that lost data can be
// traced afterwards.

#include <functional>
#include <string>

namespace verbolin {

void logStorageError(const std::string& message);

// Replaces where the lines go (standard error by default); returns the old
// sink. Meant for tests and for the application to route lines elsewhere.
using StorageLogSink = std::function<void(const std::string&)>;
StorageLogSink setStorageLogSink(StorageLogSink sink);

}  // namespace verbolin
