// The waveform window: traces on the ECG paper at their calibrated height,
// the 12-lead layout of a real ECG, the caliper's reading, one window per
// file, and a file whose only group is refused opening nothing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QScrollBar>
#include <cmath>

#include "app/WaveformView.h"
#include "app/WaveformWindow.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

// A general ECG at 500 Hz (4 s unless longer): lead II held at +1 mV
// (1000 x 1 uV) and an arterial pressure in mmHg rising from 0 to 100 and
// back over the first 4 s.
std::string SquareFile(const std::string& dir, int channelsDeclared = 2, uint32_t samples = 2000) {
  fixtures::DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.9.1.2");
  w.Text(0x00080018, "UI", "1.2.3.4.5.7");
  w.Text(0x00100010, "PN", "ROE^RICHARD");
  w.BeginSequence(0x54000100);
  w.BeginItem();
  w.US(0x003A0005, {uint16_t(channelsDeclared)});
  w.UL(0x003A0010, {samples});
  w.Text(0x003A001A, "DS", "500");
  w.Text(0x003A0020, "SH", "RHYTHM");
  w.BeginSequence(0x003A0200);
  for (const auto& [label, units] : {std::pair{"II", "uV"}, std::pair{"ART", "mm[Hg]"}}) {
    w.BeginItem();
    w.Text(0x003A0203, "SH", label);
    w.Text(0x003A0210, "DS", "1");
    w.BeginSequence(0x003A0211);
    w.BeginItem().Text(0x00080100, "SH", units).Text(0x00080102, "SH", "UCUM").EndItem();
    w.EndSequence();
    w.EndItem();
  }
  w.EndSequence();
  w.US(0x54001004, {16});
  w.Text(0x54001006, "CS", "SS");
  std::vector<uint16_t> data;
  for (uint32_t s = 0; s < samples; ++s) {
    data.push_back(1000);
    data.push_back(uint16_t(s < 1000 ? s / 10 : s < 2000 ? (2000 - s) / 10 : 0));
  }
  w.OW(0x54001010, data);
  w.EndItem();
  w.EndSequence();
  return fixtures::WriteFile(dir, "square.dcm",
                             fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
}

bool Dark(const QImage& image, QPointF at) {
  // The trace is drawn antialiased: look at the pixel and its neighbours.
  for (int dy = -1; dy <= 1; ++dy) {
    const int x = qRound(at.x()), y = qRound(at.y()) + dy;
    if (x < 0 || y < 0 || x >= image.width() || y >= image.height()) continue;
    const QColor c = image.pixelColor(x, y);
    if (c.red() < 90 && c.green() < 90 && c.blue() < 90) return true;
  }
  return false;
}

void Mouse(QWidget* target, QEvent::Type type, QPointF at) {
  QMouseEvent e(type, at, target->mapToGlobal(at), Qt::LeftButton,
                type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &e);
}

int OpenWaveformWindows() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qobject_cast<TWaveformWindow*>(w) && w->isVisible()) ++n;
  return n;
}

}  // namespace

TEST(WaveformWindow, TracesAtTheirCalibratedHeightOnThePaper) {
  const std::string path = SquareFile(testsupport::TempDir("waveform_window_trace"));
  std::string why;
  ASSERT_TRUE(OpenWaveformWindow(nullptr, path, &why)) << why;
  TWaveformWindow* window = TWaveformWindow::Find(path);
  ASSERT_NE(window, nullptr);
  TWaveformView* view = window->view;
  EXPECT_EQ(view->CurrentLayout(), TWaveformView::Layout::Strips);
  EXPECT_FALSE(window->layoutBox->isEnabled());
  ASSERT_EQ(view->StripCount(), 2);
  EXPECT_EQ(view->CellLabel(0), "II");
  EXPECT_EQ(view->CellLabel(1), "ART");
  EXPECT_NE(window->header->text().indexOf("ROE RICHARD"), -1)
      << window->header->text().toStdString();
  EXPECT_NE(window->header->text().indexOf("500 Hz"), -1);

  for (const double gain : {10.0, 20.0}) {
    SCOPED_TRACE(gain);
    window->gainBox->setCurrentIndex(window->gainBox->findData(gain));
    view->SetGain(gain);
    const QImage image = view->viewport()->grab().toImage();
    const double x = view->TimeToPaperX(0, 1.0);
    const double base = view->BaselineMm(0);
    // +1 mV is `gain` millimetres above the baseline; nothing is drawn on the baseline.
    EXPECT_TRUE(Dark(image, view->PaperToViewport(x, base - gain)));
    EXPECT_FALSE(Dark(image, view->PaperToViewport(x, base)));
    EXPECT_FALSE(Dark(image, view->PaperToViewport(x, base - gain - 3)));
    // The paper: major lines every 5 mm, minor ones between.
    const QPointF major = view->PaperToViewport(50, base - gain - 2.5);
    int reddest = 255;
    for (int dx = -1; dx <= 1; ++dx)
      reddest = std::min(reddest, image.pixelColor(int(major.x()) + dx, int(major.y())).green());
    EXPECT_LT(reddest, 160) << "no major grid line at 50 mm";
    // The pressure strip: its top (100 mmHg) at 2 s.
    const double top = view->BaselineMm(1) - 100 * (24.0 / 100);
    EXPECT_TRUE(Dark(image, view->PaperToViewport(view->TimeToPaperX(1, 2.0), top)));
  }

  // The caliper: 25 mm across at 25 mm/s is one second; 10 mm up at 10 mm/mV is 1 mV.
  view->SetGain(10);
  const double x0 = view->TimeToPaperX(0, 0.5), y0 = view->BaselineMm(0);
  Mouse(view->viewport(), QEvent::MouseButtonPress, view->PaperToViewport(x0, y0));
  Mouse(view->viewport(), QEvent::MouseMove, view->PaperToViewport(x0 + 10, y0 - 5));
  Mouse(view->viewport(), QEvent::MouseButtonRelease, view->PaperToViewport(x0 + 25, y0 - 10));
  EXPECT_NEAR(view->CaliperMilliseconds(), 1000, 2);
  EXPECT_EQ(window->caliperLabel->text(), view->CaliperText());
  EXPECT_TRUE(view->CaliperText().contains(" 60 bpm")) << view->CaliperText().toStdString();
  EXPECT_TRUE(view->CaliperText().contains("1.00 mV")) << view->CaliperText().toStdString();
  // At 50 mm/s the same paper distance is half the time.
  view->SetSpeed(50);
  Mouse(view->viewport(), QEvent::MouseButtonPress, view->PaperToViewport(x0, y0));
  Mouse(view->viewport(), QEvent::MouseButtonRelease, view->PaperToViewport(x0 + 20, y0));
  EXPECT_NEAR(view->CaliperMilliseconds(), 400, 2);
  EXPECT_TRUE(view->CaliperText().contains("150 bpm")) << view->CaliperText().toStdString();

  // Zoom keeps within 0.5 ... 8 and scales the paper.
  const double ppm = view->PixelsPerMm();
  view->ZoomIn();
  EXPECT_NEAR(view->PixelsPerMm(), ppm * 1.5, 1e-9);
  for (int i = 0; i < 20; ++i) view->ZoomIn();
  EXPECT_EQ(view->Zoom(), 8);
  for (int i = 0; i < 20; ++i) view->ZoomOut();
  EXPECT_EQ(view->Zoom(), 0.5);
  EXPECT_EQ(window->zoomLabel->text(), "50 %");

  // Opening the same file again raises the open window.
  ASSERT_TRUE(OpenWaveformWindow(nullptr, path, &why));
  EXPECT_EQ(TWaveformWindow::Find(path), window);
  EXPECT_EQ(OpenWaveformWindows(), 1);
  window->close();
  QApplication::processEvents();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(TWaveformWindow::Find(path), nullptr);
}

TEST(WaveformWindow, TwelveLeadLayoutOfARealEcg) {
  const std::string path = testsupport::SamplePath("waveform_ecg.dcm");
  ASSERT_TRUE(testsupport::HaveSample(path)) << path;
  std::string why;
  ASSERT_TRUE(OpenWaveformWindow(nullptr, path, &why)) << why;
  TWaveformWindow* window = TWaveformWindow::Find(path);
  ASSERT_NE(window, nullptr);
  TWaveformView* view = window->view;
  EXPECT_EQ(view->CurrentLayout(), TWaveformView::Layout::TwelveLead);
  // Three rows of four leads and the lead II rhythm strip.
  ASSERT_EQ(view->StripCount(), 13);
  QStringList labels;
  for (int i = 0; i < 13; ++i) labels << view->CellLabel(i);
  EXPECT_EQ(labels.join(","), "I,aVR,V1,V4,II,aVL,V2,V5,III,aVF,V3,V6,II");
  // Each column a quarter of the ten seconds: aVR starts 2.5 s in, 62.5 mm on.
  EXPECT_NEAR(view->TimeToPaperX(1, 2.5) - view->TimeToPaperX(0, 0), 62.5, 1e-9);
  // Both multiplex groups listed; the median beat falls back to strips when asked.
  EXPECT_EQ(window->groupBox->count(), 2);
  const QString header = window->header->text();
  EXPECT_NE(header.indexOf("RITMO SINUSALE"), -1) << header.toStdString();
  EXPECT_NE(header.indexOf("1000 Hz sampling"), -1) << header.toStdString();
  EXPECT_NE(header.indexOf("25/01/2013 10:59:19"), -1) << header.toStdString();
  EXPECT_NE(header.indexOf("filter 0.05\u2013300 Hz"), -1) << header.toStdString();
  EXPECT_EQ(header.indexOf("notch"), -1) << header.toStdString();  // a notch at 0 Hz is none
  window->ShowGroup(1);
  EXPECT_EQ(view->CurrentLayout(), TWaveformView::Layout::TwelveLead);
  view->SetLayout(TWaveformView::Layout::Strips);
  EXPECT_EQ(view->StripCount(), 12);
  EXPECT_EQ(window->layoutBox->currentData().toInt(), int(TWaveformView::Layout::Strips));
  const QImage image = view->viewport()->grab().toImage();
  int dark = 0;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2)
      if (Dark(image, QPointF(x, y))) ++dark;
  EXPECT_GT(dark, 200) << "no traces drawn";
  window->close();
}

TEST(WaveformWindow, LongRecordingScrollsToItsEnd) {
  // Ten minutes: far wider than the window, drawn a screen at a time.
  const std::string path = SquareFile(testsupport::TempDir("waveform_window_long"), 2, 500 * 600);
  std::string why;
  ASSERT_TRUE(OpenWaveformWindow(nullptr, path, &why)) << why;
  TWaveformWindow* window = TWaveformWindow::Find(path);
  ASSERT_NE(window, nullptr);
  TWaveformView* view = window->view;
  for (const double zoom : {0.5, 1.0, 8.0}) {
    SCOPED_TRACE(zoom);
    view->SetZoom(zoom);
    QScrollBar* bar = view->horizontalScrollBar();
    EXPECT_GT(bar->maximum(), 600 * 25 * view->PixelsPerMm() - view->viewport()->width() - 1);
    bar->setValue(bar->maximum());
    view->verticalScrollBar()->setValue(0);  // zooming kept the centre, lower down
    const QImage image = view->viewport()->grab().toImage();
    const double x = view->TimeToPaperX(0, 599.5);
    EXPECT_TRUE(Dark(image, view->PaperToViewport(x, view->BaselineMm(0) - 10)));
  }
  window->close();
}

TEST(WaveformWindow, RefusedFileOpensNothing) {
  const std::string path = SquareFile(testsupport::TempDir("waveform_window_refused"), 3);
  std::string why;
  EXPECT_FALSE(OpenWaveformWindow(nullptr, path, &why));
  EXPECT_EQ(why,
            "no multiplex group could be read; group 1: it declares 3 channel(s) but defines 2");
  EXPECT_EQ(TWaveformWindow::Find(path), nullptr);
  EXPECT_FALSE(OpenWaveformWindow(nullptr, testsupport::SamplePath("CT_small.dcm"), &why));
  EXPECT_EQ(why, "it holds no waveform");
}
