// Where the main window goes when it is minimised, with and without a tray to hold it.
#include <gtest/gtest.h>

#include "support/app_fakes.h"

namespace velnaro::testing {
namespace {

using Place = TfrmMainPhone::WindowPlace;
using Action = TfrmMainPhone::WindowAction;

TEST(WindowPlace, MinimiseHidesOnlyWhileATrayHoldsTheIcon) {
  Rig rig;
  TfrmMainPhone& form = rig.form;
  // No tray (a desktop without one): the window stays on the taskbar, minimised.
  EXPECT_EQ(form.FormMinimised(), Action::None);
  EXPECT_EQ(form.window_place, Place::Minimised);
  form.FormRestored();
  EXPECT_EQ(form.window_place, Place::OnScreen);

  // A tray: only its icon remains.
  EXPECT_EQ(form.TrayAvailabilityChanged(true), Action::None);
  EXPECT_EQ(form.FormMinimised(), Action::Hide);
  EXPECT_EQ(form.window_place, Place::InTray);
  form.FormRestored();
  EXPECT_EQ(form.window_place, Place::OnScreen);
}

TEST(WindowPlace, TrayThatGoesAwayGivesTheHiddenWindowBackToTheTaskbar) {
  Rig rig;
  TfrmMainPhone& form = rig.form;
  form.TrayAvailabilityChanged(true);
  form.FormMinimised();
  // The panel holding the tray stops: the window must not stay out of reach.
  EXPECT_EQ(form.TrayAvailabilityChanged(false), Action::ShowMinimised);
  EXPECT_EQ(form.window_place, Place::Minimised);
  // The panel comes back: the window stays where the operator can see it.
  EXPECT_EQ(form.TrayAvailabilityChanged(true), Action::None);
  EXPECT_EQ(form.window_place, Place::Minimised);

  // A window on screen or on the taskbar is left alone when the tray goes.
  form.FormRestored();
  EXPECT_EQ(form.TrayAvailabilityChanged(false), Action::None);
  EXPECT_EQ(form.FormMinimised(), Action::None);
  EXPECT_EQ(form.TrayAvailabilityChanged(false), Action::None);
}

}  // namespace
}  // namespace velnaro::testing
