// The handlers of the twelve type codes and the choice among them.
#pragma once
#include <cstdint>

struct TextFile;

using ImportHandler = int32_t (*)(TextFile& workFile);

int32_t import20P(TextFile& workFile);
int32_t import35P(TextFile& workFile);
int32_t import41P(TextFile& workFile);
int32_t importClientMaster(TextFile& workFile);
int32_t importIdentityMaster(TextFile& workFile);
int32_t importBalances(TextFile& workFile);
int32_t importCostCentres(TextFile& workFile);
int32_t importAuthClasses(TextFile& workFile);
int32_t importFTG(TextFile& workFile);
int32_t importMST(TextFile& workFile);
int32_t importMDT(TextFile& workFile);
int32_t importFCD(TextFile& workFile);

// The handler for an upper-cased type code, or nullptr when none serves it.
ImportHandler findImportHandler(const char* typeCode);
