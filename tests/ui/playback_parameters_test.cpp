#include "ui/playback_parameters.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <optional>
#include <utility>
#include <vector>

namespace {

std::vector<int64_t> Times(const PlaybackParameters& p) {
  std::vector<int64_t> t;
  for (const SongMarker& m : p.markers()) t.push_back(m.ms);
  return t;
}

TEST(SongMarkers, StayInTimeOrderThroughAddMoveAndRemove) {
  PlaybackParameters p;
  QSignalSpy changed(&p, &PlaybackParameters::markersChanged);
  EXPECT_EQ(p.addMarker(30000, "Solo"), 0);
  EXPECT_EQ(p.addMarker(10000, "Verse"), 0);
  EXPECT_EQ(p.addMarker(20000, "Chorus"), 1);
  EXPECT_EQ(p.addMarker(-5, "Intro"), 0);  // before the start: at 0
  EXPECT_EQ(Times(p), (std::vector<int64_t>{0, 10000, 20000, 30000}));

  EXPECT_EQ(p.moveMarker(1, 25000), 2);  // Verse moves past Chorus
  EXPECT_EQ(p.markers()[2].name, "Verse");
  EXPECT_EQ(p.moveMarker(9, 1), -1);
  p.renameMarker(2, "Verse 2");
  EXPECT_EQ(p.markers()[2].name, "Verse 2");
  p.removeMarker(0);
  EXPECT_EQ(Times(p), (std::vector<int64_t>{20000, 25000, 30000}));
  EXPECT_EQ(changed.count(), 7);  // one per change; the move out of range is none

  p.setMarkers({{5, "b"}, {1, "a"}});
  EXPECT_EQ(Times(p), (std::vector<int64_t>{1, 5}));
  const int before = int(changed.count());
  p.setMarkers({{1, "a"}, {5, "b"}});  // the same markers: nothing changed
  EXPECT_EQ(changed.count(), before);
}

TEST(SongMarkers, NewNamesTakeTheFirstFreeNumber) {
  PlaybackParameters p;
  EXPECT_EQ(p.nextMarkerName(), "Marker 1");
  p.addMarker(0, p.nextMarkerName());
  p.addMarker(10, "Marker 3");
  EXPECT_EQ(p.nextMarkerName(), "Marker 2");
}

TEST(SongMarkers, JumpsAndSectionsAroundAPlace) {
  PlaybackParameters p;
  p.setMarkers({{10000, "A"}, {20000, "B"}, {30000, "C"}});
  const int64_t duration = 40000;
  using Section = std::optional<std::pair<int64_t, int64_t>>;
  const struct {
    int64_t at;
    std::optional<int64_t> before, after;
    Section section;
  } cases[] = {
      {5000, std::nullopt, 10000, std::nullopt},
      {10000, std::nullopt, 20000, Section({10000, 20000})},
      {15000, 10000, 20000, Section({10000, 20000})},
      {20000, 10000, 30000, Section({20000, 30000})},
      {35000, 30000, std::nullopt, Section({30000, 40000})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(p.markerBefore(c.at), c.before) << c.at;
    EXPECT_EQ(p.markerAfter(c.at), c.after) << c.at;
    EXPECT_EQ(p.sectionAt(c.at, duration), c.section) << c.at;
  }
  // Just past a marker while playing, "previous" goes to the one before it.
  EXPECT_EQ(p.markerBefore(20400, 500), 10000);
  EXPECT_EQ(p.markerBefore(20600, 500), 20000);
}

}  // namespace
