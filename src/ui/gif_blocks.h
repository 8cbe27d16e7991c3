// GIF structure, read without decoding pixels: the logical screen, the frames with their
// place, delay and disposal, and each frame cut out as a GIF of its own. Pure functions over
// bytes; any thread.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gif {

struct Frame {
    int left = 0, top = 0, width = 0, height = 0;
    int delay = -1;     // hundredths of a second; -1 when the frame has no control extension
    int disposal = 0;   // 0 unspecified, 1 leave, 2 restore background, 3 restore previous
    size_t start = 0;   // first byte of the frame's blocks (its control extension, if any)
    size_t end = 0;     // one past the last byte of its image data
    size_t descriptor = 0;  // offset of the "," of its image descriptor
};

struct Info {
    bool ok = false;         // the header was a GIF header and the walk ended at the trailer
    int width = 0, height = 0;
    size_t globalTableSize = 0;  // bytes of the global colour table
    std::vector<Frame> frames;
};

// True when the bytes start with "GIF87a" or "GIF89a".
bool IsGif(std::string_view bytes);
// Bytes of a colour table announced by a packed byte: 3 * 2^(n+1) when bit 7 is set.
size_t ColorTableSize(uint8_t packed);
// Walks the blocks once. A walk that meets an unknown block or runs past the end is not ok,
// but keeps the frames completed before the fault.
Info Parse(std::string_view bytes);
// Frame `index` as a GIF of its own: header and logical screen (sized to the frame), global
// colour table, the frame's blocks with the frame placed at 0,0, and the trailer.
std::string CutFrame(std::string_view bytes, const Info& info, size_t index);
// How long a frame stays, in milliseconds: delays of 0-4 hundredths (or none) show 100 ms.
unsigned FrameWaitMs(int delay);
// HIMETRIC length to pixels at `dpi`, rounded as MulDiv rounds.
int HimetricToPixels(long himetric, int dpi);

}  // namespace gif
