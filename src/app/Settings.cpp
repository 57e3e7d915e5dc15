#include "app/Settings.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

#include "viewer/ViewerGlobals.h"

namespace themes {
namespace {

QString gCurrent;

QPalette GlossyPalette() {
  QPalette p;
  const QColor window(0xe8, 0xee, 0xf5);
  const QColor text(0x1b, 0x26, 0x33);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::AlternateBase, QColor(0xf2, 0xf6, 0xfa));
  p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xfb, 0xe6));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x80, 0x8a, 0x96));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0xf3, 0xf6, 0xfa));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, Qt::white);
  p.setColor(QPalette::Light, Qt::white);
  p.setColor(QPalette::Midlight, QColor(0xdc, 0xe4, 0xee));
  p.setColor(QPalette::Mid, QColor(0xa8, 0xb6, 0xc6));
  p.setColor(QPalette::Dark, QColor(0x7a, 0x8a, 0x9c));
  p.setColor(QPalette::Shadow, QColor(0x40, 0x48, 0x52));
  p.setColor(QPalette::Highlight, QColor(0x2f, 0x86, 0xe0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x1e, 0x6f, 0xc8));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x9a, 0xa4, 0xb0));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x9a, 0xa4, 0xb0));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x9a, 0xa4, 0xb0));
  return p;
}

QPalette TurquoiseGrayPalette() {
  QPalette p;
  const QColor window(0x3b, 0x40, 0x45);
  const QColor text(0xe4, 0xec, 0xec);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, QColor(0x2c, 0x30, 0x34));
  p.setColor(QPalette::AlternateBase, QColor(0x34, 0x39, 0x3e));
  p.setColor(QPalette::ToolTipBase, QColor(0x24, 0x4f, 0x4c));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x96, 0x98));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0x4a, 0x50, 0x56));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::BrightText, QColor(0x7f, 0xff, 0xee));
  p.setColor(QPalette::Light, QColor(0x62, 0x69, 0x70));
  p.setColor(QPalette::Midlight, QColor(0x54, 0x5a, 0x60));
  p.setColor(QPalette::Mid, QColor(0x33, 0x37, 0x3b));
  p.setColor(QPalette::Dark, QColor(0x24, 0x27, 0x2a));
  p.setColor(QPalette::Shadow, QColor(0x12, 0x14, 0x16));
  p.setColor(QPalette::Highlight, QColor(0x1f, 0xa8, 0x9c));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x40, 0xe0, 0xd0));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x7c, 0x84, 0x88));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x7c, 0x84, 0x88));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x7c, 0x84, 0x88));
  return p;
}

// Only the tool area's buttons are styled here; everything else follows the
// palette, so the viewer cells and dialogs keep their native look.
QString GlossySheet() {
  return R"(
#ToolsPageControl QToolButton {
  border: 1px solid #aebccc; border-radius: 5px; padding: 2px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.48 #f1f5fa,
                              stop:0.52 #e1e9f2, stop:1 #eef3f8);
}
#ToolsPageControl QToolButton:hover {
  border-color: #4f97e3;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.48 #e8f2fd,
                              stop:0.52 #d3e5fa, stop:1 #e6f1fd);
}
#ToolsPageControl QToolButton:pressed, #ToolsPageControl QToolButton:checked {
  border-color: #2f78c4;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #cfe2f8, stop:1 #a9cbf1);
}
#ToolsPageControl QToolButton:disabled { border-color: #d0d8e2; background: #eef2f6; }
#AppBar { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f8fbfe, stop:1 #d6e2ef);
          border-top: 1px solid #9fb2c7; }
#statusBarPanel { border-top: 1px solid #c2cedb; }
)";
}

QString TurquoiseGraySheet() {
  return R"(
#ToolsPageControl QToolButton {
  border: 1px solid #2a2e32; border-radius: 5px; padding: 2px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #5b6269, stop:1 #464c52);
}
#ToolsPageControl QToolButton:hover {
  border-color: #40e0d0;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #626a71, stop:1 #4c5359);
}
#ToolsPageControl QToolButton:pressed, #ToolsPageControl QToolButton:checked {
  border-color: #40e0d0;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #23625d, stop:1 #1a4a46);
}
#ToolsPageControl QToolButton:disabled { border-color: #3a3f44; background: #43484d; }
#AppBar { background: #2b2f33; border-top: 1px solid #1fa89c; }
#statusBarPanel { border-top: 1px solid #2a2e32; }
)";
}

}  // namespace

QStringList Names() {
  return {kGlossy, kTurquoiseGray};
}

bool Apply(const QString& name) {
  if (!Names().contains(name) || !qApp) return false;
  // Fusion draws consistently on every platform and honours the palette fully.
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
  const bool glossy = name == kGlossy;
  QApplication::setPalette(glossy ? GlossyPalette() : TurquoiseGrayPalette());
  qApp->setStyleSheet(glossy ? GlossySheet() : TurquoiseGraySheet());
  gCurrent = name;
  gSettings().Theme = name;
  return true;
}

QString Current() {
  return gCurrent;
}

icons::TIconPalette IconPalette(const QString& name) {
  icons::TIconPalette p;
  if (name == kTurquoiseGray) {
    p.ink = QColor(0xe6, 0xee, 0xee);
    p.accent = QColor(0x2e, 0xd3, 0xc2);
    p.paper = QColor(0x3a, 0x40, 0x46);
    p.warn = QColor(0xff, 0x6b, 0x5e);
  }
  return p;
}

}  // namespace themes
