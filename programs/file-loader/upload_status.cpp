#include "upload_status.h"

#include <cstdio>

#include "base/result_codes.h"
#include "kvarolib.h"

namespace ostrane {

bool IsProgressStatus(std::uint32_t status) {
    return status == KVLIB_ERR_UPLOAD_START || status == KVLIB_ERR_UPLOAD_ACK ||
           status == KVLIB_ERR_UPLOAD_NAK || status == KVLIB_ERR_UPLOAD_CACHE_UPDATE;
}

std::string UploadStatusText(std::uint32_t status, std::int32_t target) {
    switch (status) {
        case KVLIB_ERR_UPLOAD_FILE_NOT_OPEN:
            return "ERROR.\nERROR: file not open.\n";
        case KVLIB_ERR_UPLOAD_FILE_READ_ERR:
            return "ERROR.\nERROR: file read error.\n";
        case KVLIB_ERR_UPLOAD_INVALID_FSIZE:
            return "ERROR.\nERROR: invalid file size.\n";
        case KVLIB_ERR_UPLOAD_CANCELED:
            return "canceled.\n";
        case KVLIB_ERR_UPLOAD_FAILED:
            return "failed.\n";
        case KVLIB_ERR_UPLOAD_TIMEOUT:
            return "timeout.\n";
        case KVLIB_ERR_UPLOAD_ACK:
            return ".";
        case KVLIB_ERR_UPLOAD_DONE:
            return "OK.\n";
        case KVLIB_ERR_UPLOAD_CACHE_UPDATE:
            if (target == 1) {
                return "OK.\nUpdating cached data to FlashDisk...";
            }
            if (target == 2) {
                return "OK.\nUpdating cached data to SystemFlashDisk...";
            }
            return {};
        default:
            break;
    }
    if (IsProgressStatus(status)) {
        return {};
    }
    // An upload refused before it began (a name the controller cannot take, a port already busy with
    // another service, a connection that has gone) or ended by a failure outside the table above.
    char number[16];
    std::snprintf(number, sizeof number, "0x%X", static_cast<unsigned>(status));
    return std::string("ERROR.\nERROR: ") + kv::LookupResultCode(status).text + " (" + number + ")\n";
}

}  // namespace ostrane
