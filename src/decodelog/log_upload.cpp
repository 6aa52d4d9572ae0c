#include "decodelog/log_upload.h"

// The upload arrives with the card document; until then nothing is sent.
uint32_t ProcessSendSamvDecodeLog(DataSwitch& /*ds*/) { return 0; }
