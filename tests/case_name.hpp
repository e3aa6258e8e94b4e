// Names table-driven test cases after their descriptions, so that CTest and
// GoogleTest list "south_and_west" rather than a byte dump.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <string>

template <class Case> std::string case_name(const testing::TestParamInfo<Case> &info)
{
    std::string name;
    for (const char c : std::string(info.param.what)) {
        name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return name;
}
