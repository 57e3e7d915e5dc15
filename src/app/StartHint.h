// What the empty viewer shows: how to begin (open a folder, a CD, an image or
// the demo study) and that files and folders can be dropped on the window.
// It sits over the grid while nothing is loaded; drops go through it to the
// window.
#pragma once

#include <QFrame>

class QPushButton;

class TStartHint : public QFrame {
  Q_OBJECT
 public:
  explicit TStartHint(QWidget* parent);

  QPushButton* OpenFolderButton;
  QPushButton* OpenDicomDirButton;
  QPushButton* OpenImageButton;
  QPushButton* DemoButton;

  // Centres the hint in its parent.
  void Place();

 signals:
  void openFolder();
  void openDicomDir();
  void openImage();
  void showDemo();
};
