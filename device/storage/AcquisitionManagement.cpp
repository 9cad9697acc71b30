#include "device/storage/AcquisitionManagement.h"

#include "device/base/FileSystem.h"
#include "device/base/IKorvexListener.h"

namespace AcquisitionManagement {

bool isValidIdentifier(const std::string& acquisitionID) {
    return FileSystem::isPlainFileName(acquisitionID);
}

void list(const FileSystem& files, bson_t* result) { files.acquisitionList(result); }

bool deleteFiles(const FileSystem& files, IKorvexListener* dispatch,
                 const std::string& acquisitionID) {
    if (!isValidIdentifier(acquisitionID)) {
        if (dispatch)
            dispatch->log("AcquisitionManagement::deleteFiles - Invalid acquisition identifier");
        return false;
    }
    files.deleteAcquisitionFiles(acquisitionID);
    return true;
}

} // namespace AcquisitionManagement
