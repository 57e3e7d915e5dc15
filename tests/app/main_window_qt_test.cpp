#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "app/ColorBox.h"
#include "app/Icons.h"
#include "app/Settings.h"
#include "app/Unit1.h"
#include "viewer/ViewerGlobals.h"

namespace {

TEST(MainWindow, StartsWithTheToolTabsAndStatusOfAFreshRun) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle(), MainWindowCaption());
  EXPECT_TRUE(form.windowTitle().startsWith("Tavrolen Viewer, Brenvo "));
  // The logo's tooltip is the About text: name and version, then the licence.
  const QStringList about = form.Image1->toolTip().split('\n');
  EXPECT_EQ(about.value(0), MainWindowCaption());
  EXPECT_EQ(about.value(1), "Licensed under the Apache License, Version 2.0.");
  EXPECT_TRUE(about.value(2).contains("/usr/share/doc/tavrolen-viewer/copyright"))
      << form.Image1->toolTip().toStdString();
  const QStringList tabs{"Manage", "Image Processing", "Image Annotation", "Cine Player",
                         "Settings"};
  ASSERT_EQ(form.ToolsPageControl->count(), tabs.size());
  for (int i = 0; i < tabs.size(); ++i) EXPECT_EQ(form.ToolsPageControl->tabText(i), tabs[i]);
  EXPECT_EQ(form.ToolsPageControl->currentIndex(), 0);
  EXPECT_FALSE(form.ToolsPageControl->isTabEnabled(1));
  EXPECT_FALSE(form.ToolsPageControl->isTabEnabled(2));
  EXPECT_TRUE(form.ToolsPageControl->isTabEnabled(3));

  EXPECT_EQ(form.statusLabelCount->text(), "Ready");
  EXPECT_TRUE(form.reportsListView->isHidden());
  EXPECT_TRUE(form.loadDicomProgressBar->isHidden());
  EXPECT_TRUE(form.btnCancelLoading->isHidden());
  EXPECT_TRUE(form.AppBar->isHidden());
  EXPECT_EQ(form.WwWlPresetsComboBox->count(), 13);
  // No cell shows a window yet: empty boxes and no preset (not "000" and a
  // preset that is not applied).
  EXPECT_EQ(form.WwWlPresetsComboBox->currentIndex(), -1);
  EXPECT_TRUE(form.wwTextBox->text().isEmpty());
  EXPECT_TRUE(form.wlTextBox->text().isEmpty());
  EXPECT_EQ(form.frameRateLabel->text(), "Frame Rate: 15 FPS");
  EXPECT_EQ(form.trkFrameRate->value(), 5);
  EXPECT_TRUE(form.CheckBox_show_information->isChecked());
  EXPECT_TRUE(form.CheckBox_show_overlay->isChecked());
  EXPECT_TRUE(form.CheckBox_show_reference_lines->isChecked());
  EXPECT_EQ(form.themesComboBox->currentText(), "Glossy");
  EXPECT_TRUE(gProcessAllViewers);
  EXPECT_FALSE(gRestrictedLoad);
  EXPECT_TRUE(gLockZoom);
  EXPECT_TRUE(gLockWwWl);
}

TEST(MainWindow, EveryCommandButtonHasItsHintAndAGlyph) {
  TForm1 form;
  const std::pair<QToolButton*, const char*> hints[] = {
      {form.btnOpenFile, "Open Image"},
      {form.btnOpenFolder, "Open Folder"},
      {form.btnOpenDicomDir, "Open CD Dicom Dir"},
      {form.btnSave, "Save As JPEG"},
      {form.btnSplitScreen, "Split Screen"},
      {form.btnProcessAllViewers, "Process Single Viewer"},
      {form.btnClearTree, "Clear Study"},
      {form.showPatInfoButton, "Display Dicom File Info"},
      {form.btnExit, "Exit"},
      {form.btnFlipHorizontal, "Flip Horizontally"},
      {form.btnFilpVertical, "Flip Vertically"},
      {form.btnInvert, "Invert Image"},
      {form.btnWwWl, "WW & WL (W)"},
      {form.btnPan, "Pan (P)"},
      {form.btnReset, "Reset Image"},
      {form.btnFit, "Fit Image"},
      {form.btnZoom, "Zoom (Z)"},
      {form.btnResetWwWl, "Reset WW/WL"},
      {form.btnLockZoom, "Lock Zoom"},
      {form.btnLockWwWl, "Lock WW & WL"},
      {form.btnRotate, "Rotate Clockwise"},
      {form.btnDeleteSingleAnn,
       "Delete Selected Annotation (Delete removes the one under the mouse)"},
      {form.btnClearAllAnn, "Clear All Annotations"},
      {form.btnDrawText, "Draw Text (T)"},
      {form.btnDrawAngle, "Draw Angle (A)"},
      {form.btnDrawEclipse, "Draw Ellipse (E)"},
      {form.btnDrawRect, "Draw Rectangle (R)"},
      {form.btnDrawLine, "Draw Line (L)"},
      {form.btnDrawMeasureLine, "Draw Measurement Line (M)"},
      {form.btnPrevFrame, "Previous Frame"},
      {form.btnPauseCine, "Pause Cine"},
      {form.btnPlayCine, "Play Cine"},
      {form.btnNextFrame, "Next Frame"},
      {form.btnExportPng, "Export PNG"},
      {form.btnCopy, "Copy to Clipboard (Ctrl+C)"},
      {form.btnClearAnn, "Clear Annotations of This Image"},
      {form.btnUndoAnn, "Undo Annotation Change (Ctrl+Z)"},
      {form.btnLinkWwWl, "Link WW/WL of Cells"},
      {form.btnLinkZoom, "Link Zoom of Cells"},
  };
  for (const auto& [button, hint] : hints) {
    EXPECT_EQ(button->toolTip(), hint);
    EXPECT_FALSE(button->icon().isNull()) << hint;
  }
  for (auto* b : {form.SpeedButton2, form.SpeedButton3, form.SpeedButton4, form.CloseButton,
                  form.btnCancelLoading})
    EXPECT_FALSE(b->icon().isNull()) << b->objectName().toStdString();
}

TEST(MainWindow, EscapeTogglesTheTouchBarFromAnyControl) {
  TForm1 form;
  form.resize(1000, 700);
  form.show();
  // Sent to a control: the window sees the key first.
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(form.wwTextBox, &esc);
  EXPECT_TRUE(form.AppBar->isVisible());
  EXPECT_EQ(form.AppBar->width(), form.centralWidget()->width());
  EXPECT_EQ(form.AppBar->height(), 75);
  EXPECT_EQ(form.AppBar->geometry().bottom(), form.centralWidget()->height() - 1);
  QKeyEvent esc2(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(form.allViewersPanel, &esc2);
  EXPECT_FALSE(form.AppBar->isVisible());
  // The bar follows the window's size.
  form.FormKeyDown(Qt::Key_Escape, Qt::NoModifier);
  form.resize(900, 640);
  QApplication::processEvents();
  EXPECT_EQ(form.AppBar->width(), form.centralWidget()->width());
}

TEST(MainWindow, ThemesChangeTheWholeApplication) {
  TForm1 form;
  form.themesComboBox->setCurrentText("Turquoise Gray");
  QApplication::processEvents();
  EXPECT_EQ(themes::Current(), "Turquoise Gray");
  const QColor dark = QApplication::palette().color(QPalette::Window);
  EXPECT_LT(dark.lightness(), 128);
  // Open windows and ones created later alike.
  EXPECT_EQ(form.palette().color(QPalette::Window), dark);
  const QImage darkIcon = form.btnPan->icon().pixmap(32).toImage();
  form.themesComboBox->setCurrentText("Glossy");
  EXPECT_GT(QApplication::palette().color(QPalette::Window).lightness(), 128);
  // Glyphs are redrawn to stay legible on the new palette.
  EXPECT_NE(form.btnPan->icon().pixmap(32).toImage(), darkIcon);
  EXPECT_FALSE(themes::Apply("No Such Theme"));
  EXPECT_EQ(themes::Current(), "Glossy");
}

TEST(MainWindow, ColourPickersWriteTheSettings) {
  TForm1 form;
  const TSettings saved = gSettings();
  EXPECT_EQ(form.annColorComboBox->Selected(), QColor(255, 0, 0));
  EXPECT_EQ(form.infoColorComboBox->Selected(), QColor(0, 255, 255));
  EXPECT_EQ(form.rulerColorComboBox->Selected(), QColor(255, 255, 255));
  // A user pick emits activated; pick "Lime" in every box.
  const std::pair<TColorBox*, QColor TSettings::*> boxes[] = {
      {form.annColorComboBox, &TSettings::AnnotationColor},
      {form.lblColorComboBox, &TSettings::AnnotationLabelColor},
      {form.infoColorComboBox, &TSettings::InformationColor},
      {form.rulerColorComboBox, &TSettings::RulerColor},
      {form.rlColorComboBox, &TSettings::ReferenceLinesColor},
      {form.olColorComboBox, &TSettings::OverlayColor},
  };
  for (const auto& [box, field] : boxes) {
    const int lime = box->findText("Lime");
    ASSERT_GE(lime, 0);
    box->setCurrentIndex(lime);
    emit box->activated(lime);
    EXPECT_EQ(gSettings().*field, QColor(0, 255, 0));
  }
  gSettings() = saved;
}

TEST(MainWindow, FrameRateTrackBarShowsTheRate) {
  TForm1 form;
  FrameRateSetByUser = false;
  form.trkFrameRate->setValue(9);
  EXPECT_EQ(form.frameRateLabel->text(), "Frame Rate: 60 FPS");
  EXPECT_EQ(form.trkFrameRate->toolTip(), "60 FPS");
  EXPECT_TRUE(FrameRateSetByUser);
  form.trkFrameRate->setValue(1);
  EXPECT_EQ(form.frameRateLabel->text(), "Frame Rate: 1 FPS");
  FrameRateSetByUser = false;
}

TEST(MainWindow, IconsAreDrawnForEveryName) {
  const icons::TIconPalette palette;
  for (const QString& name : icons::Names()) {
    const QImage img = icons::Pixmap(name, palette, 32).toImage();
    // Something is drawn, and not everywhere.
    int opaque = 0;
    for (int y = 0; y < img.height(); ++y)
      for (int x = 0; x < img.width(); ++x) opaque += qAlpha(img.pixel(x, y)) > 128;
    EXPECT_GT(opaque, 20) << name.toStdString();
    EXPECT_LT(opaque, 32 * 32) << name.toStdString();
  }
  EXPECT_TRUE(icons::Make("no-such-glyph", palette).isNull());
}

}  // namespace
