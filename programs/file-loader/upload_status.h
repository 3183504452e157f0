// What ostput prints for each status its upload reports.
#pragma once

#include <cstdint>
#include <string>

namespace ostrane {

// Statuses that report progress only; every other status ends the upload.
bool IsProgressStatus(std::uint32_t status);

// The text printed for `status` of an upload to `target` (0 RAM disk, 1 flash disk, 2 system flash);
// empty for the progress statuses that show nothing. A status that ends the upload always ends the
// line, and one without words of its own says why with the result code's text and number.
std::string UploadStatusText(std::uint32_t status, std::int32_t target);

}  // namespace ostrane
