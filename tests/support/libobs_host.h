#pragma once

// What the libobs that the tests run on does differently from libobs 29,
// as measured. Tests that expect different things on different hosts ask
// these rather than the libobs version.

namespace libobsHost {

// Whether two public sources can have the same name. libobs 30 and later
// rename a public source whose name is taken ("Cam" becomes "Cam 2", and a
// rename to a taken name "Cam 3"); private sources keep their names.
bool publicNamesRepeat();

// Whether scene item positions and bounds are kept relative to the canvas.
// In libobs 31 and later they are: without video (an empty canvas) they read
// back as NaN, adding to a group that belongs to no canvas crashes, and with
// video they read back to the nearest half pixel.
bool itemPositionsRelative();

// A position or size as the host reads it back after it was set to `value`.
float keptPosition(float value);

} // namespace libobsHost
