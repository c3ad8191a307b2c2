// A binary PPM ("P6") screenshot as the editor writes it, and a pixel-colour check with a
// tolerance, for the editor tests.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/util/testutil.h"

namespace tk_test {

struct PpmImage {
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> rgb;
    struct Px {
        int r, g, b;
    };
    bool load(const std::string &path) {
        std::string data = read_file(path);
        unsigned ww = 0, hh = 0;
        // The header is three lines; pixel bytes may look like white space, so the end of
        // the header is found by its line feeds, not by scanf.
        size_t used = 0;
        for (int lines = 0; lines < 3; lines++) {
            used = data.find('\n', used);
            if (used == std::string::npos) return false;
            used++;
        }
        if (sscanf(data.c_str(), "P6\n%u %u\n255\n", &ww, &hh) != 2) return false;
        if (data.size() != used + (size_t)ww * hh * 3) return false;
        w = ww;
        h = hh;
        rgb.assign(data.begin() + (long)used, data.end());
        return true;
    }
    Px at(uint32_t x, uint32_t y) const {
        const uint8_t *p = &rgb[((size_t)y * w + x) * 3];
        return Px{p[0], p[1], p[2]};
    }
};

inline ::testing::AssertionResult colour_near(const PpmImage &img, uint32_t x, uint32_t y, int r, int g, int b,
                                              int tol = 3) {
    if (x >= img.w || y >= img.h) return ::testing::AssertionFailure() << "(" << x << "," << y << ") outside";
    PpmImage::Px p = img.at(x, y);
    if (std::abs(p.r - r) <= tol && std::abs(p.g - g) <= tol && std::abs(p.b - b) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << "," << y << ") = " << p.r << "," << p.g << "," << p.b
                                         << ", expected about " << r << "," << g << "," << b << " +-" << tol;
}

} // namespace tk_test
