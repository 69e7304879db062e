#include "telephony/call_quality.h"

#include <gtest/gtest.h>

namespace velnaro {

TEST(QualityLine, CarriesEveryFigureWithTheLossShareOfWhatWasDue) {
  const QualityFigures q{"opus/48000", true, 42, 2100, 1900, 100, 3.14, 9.87, 12.4, 4.26};
  EXPECT_EQ(QualityLine(0, q, true),
            "quality: line 1 (end) opus/48000 srtp 42 s, packets sent 2100 received 1900 lost 100 "
            "(5.0%), jitter mean 3.1 ms max 9.9 ms, round trip 12 ms, rating 4.3");
}

}  // namespace velnaro
