// placeholder until the outbound services exist: every one of them aborts.
#include "services.h"
void SendFile(int spxFd2, DataBuffer, int) { Abort(spxFd2); }
void RemoteShell(int spxFd2, DataBuffer, int) { Abort(spxFd2); }
void ReceiveStdout(int spxFd2, DataBuffer, int) { Abort(spxFd2); }
