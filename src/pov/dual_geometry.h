#pragma once

#include <cstdint>

// Position, width and opacity of the dual POV window, in canvas fractions:
// left edge of the width, top edge of the height, width of the width.
struct DualLayout {
	double x = 0.012;
	double y = 0.19;
	double w = 0.26;
	double opacity = 1.0;
};

// Pixels cut from each side of a source, as in a scene item's crop.
struct WindowCrop {
	int32_t left = 0;
	int32_t top = 0;
	int32_t right = 0;
	int32_t bottom = 0;
};

// Where the window goes on the canvas: its top-left corner and the box the
// source is fitted into (keeping its aspect).
struct WindowBox {
	float x;
	float y;
	float width;
	float height;
};

// The window's box at a given scale of the pop animation (clamped to
// [0.001, 1.5]; 1 is the resting window). The box is scaled about its
// centre and never falls below 1 pixel a side. A source without a visible
// size gets a box nine sixteenths as high as it is wide.
WindowBox dualWindowBox(uint32_t canvasWidth, uint32_t canvasHeight,
			const WindowCrop &crop, uint32_t sourceWidth,
			uint32_t sourceHeight, const DualLayout &layout,
			double scale);
