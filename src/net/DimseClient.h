// The DIMSE side of TPacsClient, on DCMTK's DcmSCU (and DcmSCP for the
// storage SCP a C-MOVE sends to). Retrieved data sets are received straight
// into staging files of the instance store, exactly as sent, and checked
// there before they are kept.
#pragma once

#include "net/PacsClient.h"

std::unique_ptr<TPacsClient> MakeDimseClient(const TPacsServer& server);
