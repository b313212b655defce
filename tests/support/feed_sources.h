#pragma once

#include <obs.hpp>

#include <map>
#include <string>

#include "duplicates.h"
#include "test_kinds.h"

// Test feed sources by name, each made on first use and held until clear()
// (call it before libobs shuts down). A feed keeps its name even when a
// scene or group has it (see duplicates.h).
class FeedSources {
public:
	obs_source_t *get(const std::string &name)
	{
		auto it = sources.find(name);
		if (it == sources.end())
			it = sources.emplace(name, duplicates::createSource(
							   TEST_FEED_KIND,
							   name.c_str()))
				     .first;
		return it->second;
	}

	void clear() { sources.clear(); }

private:
	std::map<std::string, OBSSourceAutoRelease> sources;
};
