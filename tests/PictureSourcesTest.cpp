#include "PictureSources.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TWidestRow {
    const char* Srcset;
    const char* Widest;
};

class WidestCandidateTable : public ::testing::TestWithParam<TWidestRow> {};

TEST_P(WidestCandidateTable, IsTheCandidateABrowserWouldTakeOnTheWidestScreen)
{
    EXPECT_EQ(std::string(WidestCandidate(GetParam().Srcset)), GetParam().Widest) << GetParam().Srcset;
}

INSTANTIATE_TEST_SUITE_P(
    Srcset, WidestCandidateTable,
    ::testing::Values(TWidestRow{"a.jpg 320w, b.jpg 1280w, c.jpg 640w", "b.jpg"},
                      TWidestRow{"a.jpg, b.jpg 2x, c.jpg 1.5x", "b.jpg"}, TWidestRow{"only.jpg", "only.jpg"},
                      TWidestRow{"  \n a.jpg 100w ,b.jpg   900w  ", "b.jpg"},
                      // Commas inside an address belong to it; trailing ones end the candidate.
                      TWidestRow{"img.php?w=1,2 300w, big,.jpg 800w", "big,.jpg"},
                      TWidestRow{"data:image/gif;base64,R0lG 1w, real.jpg 500w", "real.jpg"},
                      // Candidates with unreadable or doubled descriptors are dropped, as browsers do.
                      TWidestRow{"bad.jpg 9000q, good.jpg 10w", "good.jpg"},
                      TWidestRow{"twice.jpg 2x 3x, once.jpg 1x", "once.jpg"},
                      TWidestRow{"first.jpg 400w, second.jpg 400w", "first.jpg"},
                      // A width wins over any density: sizes are chosen by width where given.
                      TWidestRow{"dense.jpg 3x, wide.jpg 50w", "wide.jpg"},
                      TWidestRow{"a.jpg (max-width: 5px) 100w", ""}, TWidestRow{"", ""},
                      TWidestRow{" , ,", ""}));

} // namespace
