#include "pov/dual_geometry.h"

#include <algorithm>

WindowBox dualWindowBox(uint32_t canvasWidth, uint32_t canvasHeight,
			const WindowCrop &crop, uint32_t sourceWidth,
			uint32_t sourceHeight, const DualLayout &layout,
			double scale)
{
	const int32_t visibleWidth =
		int32_t(sourceWidth) - crop.left - crop.right;
	const int32_t visibleHeight =
		int32_t(sourceHeight) - crop.top - crop.bottom;

	const float width = float(double(canvasWidth) * layout.w);
	const float height =
		visibleWidth > 0 && visibleHeight > 0
			? float(visibleHeight) * width / float(visibleWidth)
			: width * 9.0f * 0.0625f;

	// NaN goes to the smallest scale rather than through the clamp.
	const float s = float(!(scale >= 0.001) ? 0.001 : std::min(scale, 1.5));

	WindowBox box;
	box.x = float(double(canvasWidth) * layout.x) +
		(1.0f - s) * width * 0.5f;
	box.y = float(double(canvasHeight) * layout.y) +
		(1.0f - s) * height * 0.5f;
	box.width = std::max(s * width, 1.0f);
	box.height = std::max(s * height, 1.0f);
	return box;
}
