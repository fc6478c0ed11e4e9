#pragma once

// The reference artefacts shared by every suite, in testdata/ at the top of
// the repository (testdata/README.md describes them).

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

inline std::string read_testdata(const std::string& name) {
    const std::string path = std::string(PROTOCOLS_TESTDATA) + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), {}};
}
