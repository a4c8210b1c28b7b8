#pragma once

#include "gen3/LoaderInfo.h"

#include <QtGlobal>

class HDataLink;

// The commands of the generation-3 loader, each a free-standing blocking operation on an
// open link; nothing is kept between calls but the link. They throw HException with the
// protocol's messages; exceptions of the link itself pass through unchanged. Erase, write
// and CRC commands need a connect first and a disconnect after the last of them;
// getLoaderInfo needs no connect.

// Connect retries while the loader answers busy: at most this many frames, with a pause
// between two of them.
constexpr int CONNECT_MAX_BUSY_REPLIES = 10;
constexpr int CONNECT_BUSY_PAUSE_MS = 1000;

// One link write of `count` bytes; any other result is "write timed out".
void sendBytes(HDataLink& link, const void* bytes, int count);
// One link read of exactly `count` bytes; any other result is "read timed out".
void receiveBytes(HDataLink& link, void* buffer, int count);

void connectLoader(HDataLink& link);
void disconnectLoader(HDataLink& link);
void eraseMemory(HDataLink& link, quint32 address, quint32 count);
// Sends the frame, then the `count` bytes at `data` in a second write.
void writeMemory(HDataLink& link, quint32 address, quint32 count, const quint8* data);
// Whether the loader's CRC of the range equals computeCrc32 of `data` (`count` bytes, the
// host's copy of the range). A mismatch is false, not an exception.
bool checkMemoryCrc(HDataLink& link, quint32 address, quint32 count, const quint8* data);
LoaderInfo getLoaderInfo(HDataLink& link);
