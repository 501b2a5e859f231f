#include "import/dispatch.h"

#include <cstring>

#include "import/members.h"

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

// Each handler runs the record loop over its member.
LoopOutcome import20P(TextFile& workFile) {
    return runRecordLoop(Member20P, workFile);
}

LoopOutcome import35P(TextFile& workFile) {
    return runRecordLoop(Member35P, workFile);
}

LoopOutcome import41P(TextFile& workFile) {
    return runRecordLoop(Member41P, workFile);
}

LoopOutcome importAuthClasses(TextFile& workFile) {
    return runRecordLoop(MemberBKL, workFile);
}

LoopOutcome importFCD(TextFile& workFile) {
    return runRecordLoop(MemberFCD, workFile);
}

LoopOutcome importFTG(TextFile& workFile) {
    return runRecordLoop(MemberFTG, workFile);
}

LoopOutcome importIdentityMaster(TextFile& workFile) {
    return runRecordLoop(MemberIDN, workFile);
}

LoopOutcome importCostCentres(TextFile& workFile) {
    return runRecordLoop(MemberKST, workFile);
}

LoopOutcome importMDT(TextFile& workFile) {
    return runRecordLoop(MemberMDT, workFile);
}

LoopOutcome importClientMaster(TextFile& workFile) {
    return runRecordLoop(MemberMND, workFile);
}

LoopOutcome importMST(TextFile& workFile) {
    return runRecordLoop(MemberMST, workFile);
}

LoopOutcome importBalances(TextFile& workFile) {
    return runRecordLoop(MemberSLD, workFile);
}

ImportHandler findImportHandler(const char* typeCode) {
    for (const DispatchEntry& entry : DispatchTable) {
        if (strcmp(entry.typeCode, typeCode) == 0) return entry.handler;
    }
    return nullptr;
}
