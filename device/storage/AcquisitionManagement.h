// AcquisitionManagement: the stored acquisitions of the recordings folder as the page's
// acquisition browser sees them: listed, reloaded or deleted by identifier.
//
// The identifier comes from the page. Before any file is touched it must be a plain file
// name (no separator, not "." or "..", not empty, no NUL), so that a reload or a delete can
// never reach a file outside the recordings folder.
#pragma once

#include <bson/bson.h>

#include <string>

class FileSystem;
class IKorvexListener;

namespace AcquisitionManagement {

enum Command {
    GetList = 0,
    Reload = 1,
    Delete = 2,
};

// True when the identifier names files inside the recordings folder only.
bool isValidIdentifier(const std::string& acquisitionID);

// { "acquisitionList": [ metadata of every listed acquisition ] }; `result` must not be
// initialised (or must have been destroyed).
void list(const FileSystem& files, bson_t* result);

// Removes <id>.raw and <id>.bson from the recordings folder. A refused identifier is
// logged ("... - Invalid acquisition identifier") and nothing is removed; false then.
bool deleteFiles(const FileSystem& files, IKorvexListener* dispatch,
                 const std::string& acquisitionID);

} // namespace AcquisitionManagement
