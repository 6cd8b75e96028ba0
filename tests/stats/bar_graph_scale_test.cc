#include "stats/bar_graph_scale.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(BarGraphScale, StartsAtOneHundredWithElevenLabels) {
  BarGraphScale graph;
  EXPECT_EQ(graph.scale(), 100u);
  const auto labels = graph.TickLabels();
  EXPECT_EQ(labels.front(), 0u);
  EXPECT_EQ(labels[1], 10u);
  EXPECT_EQ(labels[9], 90u);
  EXPECT_EQ(labels.back(), 100u);
}

TEST(BarGraphScale, TwoHundredFiftyKbitRaisesTheScaleToFourHundred) {
  BarGraphScale graph;
  EXPECT_TRUE(graph.Update(250, 0));
  EXPECT_EQ(graph.scale(), 400u);  // 250 * 10 / 7 = 357
  EXPECT_EQ(graph.unicast().percent, 62u);
  EXPECT_EQ(graph.unicast().marker_percent, 62u);
  EXPECT_EQ(graph.multicast().percent, 0u);
  EXPECT_FALSE(graph.Update(250, 0));
  EXPECT_EQ(graph.TickLabels()[3], 120u);
}

TEST(BarGraphScale, FifteenHundredKbitRaisesTheScaleToThreeThousand) {
  BarGraphScale graph;
  EXPECT_TRUE(graph.Update(0, 1500));
  EXPECT_EQ(graph.scale(), 3000u);  // 2142 rounded up to a multiple of 1000
  EXPECT_EQ(graph.multicast().percent, 50u);
}

TEST(BarGraphScale, AFallBelowThirtyPercentReturnsToOneHundredAndGrowsOnTheNextRefresh) {
  BarGraphScale graph;
  graph.Update(1500, 0);
  EXPECT_FALSE(graph.Update(900, 0));  // exactly 30 %: stays
  EXPECT_EQ(graph.scale(), 3000u);
  EXPECT_TRUE(graph.Update(899, 0));
  EXPECT_EQ(graph.scale(), 100u);
  // The old peak is forgotten; 899 on a scale of 100 shows full, its marker with it.
  EXPECT_EQ(graph.unicast().marker_value, 899u);
  EXPECT_EQ(graph.unicast().percent, 100u);
  EXPECT_EQ(graph.unicast().marker_percent, 100u);
  EXPECT_TRUE(graph.Update(899, 0));
  EXPECT_EQ(graph.scale(), 2000u);  // 1284 rounded up to a multiple of 1000
}

TEST(BarGraphScale, ZeroNeverRescales) {
  BarGraphScale graph;
  graph.Update(1500, 0);
  EXPECT_FALSE(graph.Update(0, 0));
  EXPECT_EQ(graph.scale(), 3000u);
  EXPECT_EQ(graph.unicast().percent, 0u);
  EXPECT_EQ(graph.unicast().marker_percent, 50u);  // the peak stays marked
}

TEST(BarGraphScale, MarkersKeepThePeakAndFollowAGrowingScale) {
  BarGraphScale graph;
  graph.Update(60, 0);
  graph.Update(40, 0);
  EXPECT_EQ(graph.unicast().percent, 40u);
  EXPECT_EQ(graph.unicast().marker_percent, 60u);
  graph.Update(40, 140);  // scale 200: the kept peak moves with it
  EXPECT_EQ(graph.scale(), 200u);
  EXPECT_EQ(graph.unicast().marker_percent, 30u);
  EXPECT_EQ(graph.multicast().marker_percent, 70u);
}

TEST(BarGraphScale, AFallOnTheSmallestScaleForgetsTheMarkersOfBothBars) {
  BarGraphScale graph;
  graph.Update(60, 50);
  EXPECT_FALSE(graph.Update(20, 0));  // below 30 % of 100: the scale stays 100
  EXPECT_EQ(graph.multicast().marker_value, 0u);
  EXPECT_EQ(graph.multicast().marker_percent, 0u);
  EXPECT_EQ(graph.unicast().marker_value, 20u);
  EXPECT_EQ(graph.unicast().marker_percent, 20u);
}

TEST(BarGraphScale, ResetReturnsToOneHundredWithTheMarkersAtZero) {
  BarGraphScale graph;
  graph.Update(250, 120);
  graph.Reset();
  EXPECT_EQ(graph.scale(), 100u);
  EXPECT_EQ(graph.unicast().percent, 0u);
  EXPECT_EQ(graph.unicast().marker_percent, 0u);
  EXPECT_EQ(graph.multicast().marker_percent, 0u);
  EXPECT_EQ(graph.unicast().marker_value, 0u);
}

TEST(BarGraphScale, LargeRatesDoNotOverflow) {
  BarGraphScale graph;
  graph.Update(4000000000u, 0);
  EXPECT_GT(graph.scale(), 4000000000u);
  EXPECT_LE(graph.unicast().percent, 100u);
}

}  // namespace
}  // namespace velmora
