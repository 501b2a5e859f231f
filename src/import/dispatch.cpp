#include "import/dispatch.h"

#include <cstring>

namespace {

struct DispatchEntry {
    const char* typeCode;
    ImportHandler handler;
};

// In the order the type codes are compared; the first equal one serves.
const DispatchEntry DispatchTable[] = {
    {"20P", import20P},
    {"35P", import35P},
    {"41P", import41P},
    {"MND", importClientMaster},
    {"IDN", importIdentityMaster},
    {"SLD", importBalances},
    {"KST", importCostCentres},
    {"BKL", importAuthClasses},
    {"FTG", importFTG},
    {"MST", importMST},
    {"MDT", importMDT},
    {"FCD", importFCD},
};

}  // namespace

ImportHandler findImportHandler(const char* typeCode) {
    for (const DispatchEntry& entry : DispatchTable) {
        if (strcmp(entry.typeCode, typeCode) == 0) return entry.handler;
    }
    return nullptr;
}
