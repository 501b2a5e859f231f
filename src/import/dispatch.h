// The handlers of the twelve type codes and the choice among them.
#pragma once
#include <cstdint>

#include "import/recordloop.h"

using ImportHandler = LoopOutcome (*)(TextFile& workFile);

LoopOutcome import20P(TextFile& workFile);
LoopOutcome import35P(TextFile& workFile);
LoopOutcome import41P(TextFile& workFile);
LoopOutcome importClientMaster(TextFile& workFile);
LoopOutcome importIdentityMaster(TextFile& workFile);
LoopOutcome importBalances(TextFile& workFile);
LoopOutcome importCostCentres(TextFile& workFile);
LoopOutcome importAuthClasses(TextFile& workFile);
LoopOutcome importFTG(TextFile& workFile);
LoopOutcome importMST(TextFile& workFile);
LoopOutcome importMDT(TextFile& workFile);
LoopOutcome importFCD(TextFile& workFile);

// The handler for an upper-cased type code, or nullptr when none serves it.
ImportHandler findImportHandler(const char* typeCode);
