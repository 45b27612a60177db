// The HID traffic window and the Program Data window: their captions, sizes and
// placement, and how they are filled from outside.
#include "diag/diag_windows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv::diag {
namespace {

TEST(DiagWindows, CaptionsSizesAndStartStateAreTheLayouts) {
  const TfmHidData hidData;
  const TfmProgData progData;
  EXPECT_EQ(hidData.Caption(), "Hid Data");
  EXPECT_EQ(hidData.Width(), 654);
  EXPECT_EQ(hidData.Height(), 545);
  EXPECT_FALSE(hidData.Visible());
  EXPECT_EQ(hidData.hbHidData.Count(), 0);
  EXPECT_EQ(TfmHidData::kItemHeight, 13);

  EXPECT_EQ(progData.Caption(), "Program Data");
  EXPECT_EQ(progData.Width(), 654);
  EXPECT_EQ(progData.Height(), 545);
  EXPECT_FALSE(progData.Visible());
  EXPECT_EQ(progData.moShowCode.Text(), "Memo1");
}

TEST(DiagWindows, BothStartCentredOnTheMainWindow) {
  // The main window: 420 x 173 at (300, 200). Centred: left 300 + (420 - 654) / 2
  // = 183, top 200 + (173 - 545) / 2 = 14.
  toolkit::Form mainWindow("Update KV-93T V1.2 InC+InD", 420, 173);
  mainWindow.SetPosition(300, 200);
  TfmHidData hidData;
  TfmProgData progData;
  CentreOn(hidData, mainWindow);
  CentreOn(progData, mainWindow);
  EXPECT_EQ(hidData.Left(), 183);
  EXPECT_EQ(hidData.Top(), 14);
  EXPECT_EQ(progData.Left(), 183);
  EXPECT_EQ(progData.Top(), 14);
  EXPECT_EQ(hidData.Width(), 654);  // placing does not resize
  EXPECT_EQ(progData.Height(), 545);
}

TEST(DiagWindows, TrafficLinesAreKeptOnlyWhileVisibleAndTheNewestIsSelected) {
  TfmHidData hidData;
  hidData.AddTrafficLine("W 00  10 02 00 01 01 10 10 03 11 ");
  EXPECT_EQ(hidData.hbHidData.Count(), 0);

  hidData.Show();
  hidData.AddTrafficLine("W 00  10 02 00 01 01 10 10 03 11 ");
  hidData.AddTrafficLine("R 00  10 02 01 00 03 10 33 ");
  EXPECT_EQ(hidData.hbHidData.Items(),
            (std::vector<std::string>{"W 00  10 02 00 01 01 10 10 03 11 ",
                                      "R 00  10 02 01 00 03 10 33 "}));
  EXPECT_EQ(hidData.hbHidData.ItemIndex(), 1);

  // Hiding keeps what is listed; what passes meanwhile is lost.
  hidData.Close();
  EXPECT_FALSE(hidData.Visible());
  hidData.AddTrafficLine("W 00  lost");
  hidData.Show();
  EXPECT_EQ(hidData.hbHidData.Count(), 2);
  hidData.AddTrafficLine("R 00  after");
  EXPECT_EQ(hidData.hbHidData.Count(), 3);
  EXPECT_EQ(hidData.hbHidData.Items().back(), "R 00  after");
  EXPECT_EQ(hidData.hbHidData.ItemIndex(), 2);
}

TEST(DiagWindows, ListingReplacesTheMemoWhetherVisibleOrNot) {
  TfmProgData progData;
  progData.ReplaceListing("00000000  00 ; .\r\n");
  EXPECT_EQ(progData.moShowCode.Text(), "00000000  00 ; .\r\n");
  progData.ReplaceListing("00000000  41 ; A\r\n");
  EXPECT_EQ(progData.moShowCode.Text(), "00000000  41 ; A\r\n");
  // A listing of no bytes leaves the memo empty, not "Memo1".
  progData.ReplaceListing("");
  EXPECT_EQ(progData.moShowCode.Text(), "");
  EXPECT_FALSE(progData.Visible());
}

}  // namespace
}  // namespace kv::diag
