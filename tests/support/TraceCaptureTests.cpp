#include "TraceCapture.h"

#include "Trace.h"

#include <gtest/gtest.h>

using testsupport::TraceCapture;

TEST(TraceCapture, CollectsWholeLinesInOrder_AndStopsCollectingWhenDropped)
{
    EnableTracing();
    {
        TraceCapture capture;
        Trace("first %ld", 1L);
        Trace("second %s", "line");
        EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"first 1", "second line"}));
        EXPECT_TRUE(capture.WaitFor("second line", 0));
        EXPECT_FALSE(capture.WaitFor("third", 10));
    }
    TraceCapture again;
    EXPECT_TRUE(again.Lines().empty());
    EXPECT_THROW(TraceCapture(), std::logic_error);
}
