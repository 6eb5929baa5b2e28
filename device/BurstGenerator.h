// The filler burst sent right after a connection is opened: 1024 bytes from
// the classic Windows C runtime generator seeded with 12121, low byte of each
// draw, every 0x25 (the lead byte of a request) skipped. Byte-identical on
// every platform and every connection.
#pragma once

namespace veltor {

const int kBurstSize = 1024;

void MakeBurst(unsigned char* burst);

}  // namespace veltor
