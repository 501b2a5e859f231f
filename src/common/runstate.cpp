#include "common/runstate.h"

int DebugFlag = 0;
int UpdateMode = 0;
int32_t LastResultCode = 0;
char ServerDate[ServerDateSize] = {0};
char DbSystemName[DbSystemNameSize] = {0};
int WindowRecords = 0;
long MaxFailedRecords = -1;
