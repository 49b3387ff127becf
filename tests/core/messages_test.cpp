#include "core/messages.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(MessageBox, HandlerReceivesKindTextAndCaptionAndCanBeRestored) {
  std::vector<pw::Message> seen;
  auto previous = pw::SetMessageHandler([&](const pw::Message& m) { seen.push_back(m); });
  pw::ShowMessage(pw::MessageKind::Error, pw::WithErrorCode("Could not open audio file!", 2));
  pw::ShowMessage(pw::MessageKind::Information, "Done", "Pitchwell");
  pw::SetMessageHandler(previous);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, pw::MessageKind::Error);
  EXPECT_EQ(seen[0].text, "Could not open audio file!\n(Error code: 2)");
  EXPECT_TRUE(seen[0].caption.empty());
  EXPECT_EQ(seen[1].kind, pw::MessageKind::Information);
  EXPECT_EQ(seen[1].caption, "Pitchwell");
}

}  // namespace
