#pragma once

// Source kinds the tests create, registered after every obs_startup (libobs
// forgets registered kinds at shutdown).

// A video feed of fixed size, 1920x1080.
#define TEST_FEED_KIND "tessil_test_feed"
constexpr unsigned testFeedWidth = 1920;
constexpr unsigned testFeedHeight = 1080;

// Stand-ins with the ids of obs-browser's browser source and obs-filters'
// colour-correction filter, which these tests do not load.
#define TEST_BROWSER_KIND "browser_source"
#define TEST_COLOR_FILTER_KIND "color_filter_v2"

// A transition kind (libobs registers none by itself headless).
#define TEST_TRANSITION_KIND "tessil_test_transition"

void registerTestKinds(bool withColorFilter = true);
