// tavrolen-dicom render FILE [options] -o OUT.png: the picture a viewer cell
// of the given size paints after loading FILE (fitted), or with --bitmap the
// cell's display bitmap itself. Window, turns, flips and zoom go through the
// cell's own operations after the image has been shown once; annotations are
// drawn through the cell's mouse protocol, in view coordinates of the final
// picture. The output format follows the file name's extension (PNG, PPM,
// BMP, ...); .jpg and .jpeg export the cell as the viewer's Save does.
#ifdef TAVROLEN_WITH_QT

#include <dcmtk/oflog/oflog.h>
#include <QApplication>
#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImage>
#include <QKeyEvent>
#include <QPoint>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/SafeOutput.h"
#include "pixels/WindowLevel.h"
#include "render_usage.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnText.h"
#include "viewer/DerivedAttach.h"
#include "viewer/PresentationShapes.h"
#include "viewer/ViewerGlobals.h"

namespace {

constexpr const char* kUsage = kRenderUsage;

// One --annotate: the tool that draws it and its points in view coordinates.
struct Annotation {
  ViewerAction action = VALine;
  std::vector<QPoint> points;
  QString text;
};

struct Options {
  std::string file, out;
  std::string saveState;  // --save-state: the annotations and window as a presentation state
  int frame = 1;
  int width = 512, height = 512;
  std::optional<double> ww, wl;  // modality units, real numbers
  std::optional<int> zoom;
  bool invert = false, noInfo = false, noOverlay = false, bitmap = false;
  std::optional<RotateAngels> rotate;
  std::optional<FlipTypes> flip;
  std::vector<Annotation> annotations;
  std::vector<std::string> with;  // derived objects to draw or apply, in order
};

bool ParseInt(const std::string& s, int& v) {
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno != 0 || x < -2147483647L || x > 2147483647L) return false;
  v = int(x);
  return true;
}

bool ParsePoint(const std::string& s, QPoint& p) {
  const size_t comma = s.find(',');
  int x = 0, y = 0;
  if (comma == std::string::npos || !ParseInt(s.substr(0, comma), x) ||
      !ParseInt(s.substr(comma + 1), y) || x < -1000000 || x > 1000000 || y < -1000000 ||
      y > 1000000)
    return false;
  p = QPoint(x, y);
  return true;
}

// "KIND X1,Y1 X2,Y2 [X3,Y3 | TEXT]"; returns an error text, empty when fine.
std::string ParseAnnotation(const std::string& line, Annotation& a) {
  std::vector<std::string> words;
  std::vector<size_t> ends;  // where each word ends in line
  for (size_t i = 0; i < line.size();) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    words.push_back(line.substr(start, i - start));
    ends.push_back(i);
  }
  if (words.empty()) return "--annotate needs a kind and points";
  const std::string& kind = words[0];
  size_t points = 2;
  if (kind == "line")
    a.action = VALine;
  else if (kind == "measure")
    a.action = VAMeasureLine;
  else if (kind == "rect")
    a.action = VARectangle;
  else if (kind == "ellipse")
    a.action = VAEllipse;
  else if (kind == "angle")
    a.action = VAAngle, points = 3;
  else if (kind == "text")
    a.action = VATxtLabel;
  else
    return "--annotate: unknown kind '" + kind + "'";
  if (words.size() < points + 1)
    return "--annotate " + kind + " needs " + std::to_string(points) + " points X,Y";
  for (size_t k = 1; k <= points; ++k) {
    QPoint p;
    if (!ParsePoint(words[k], p)) return "--annotate: bad point '" + words[k] + "'";
    a.points.push_back(p);
  }
  if (kind == "text") {
    if (words.size() == points + 1) return "--annotate text needs its text";
    const size_t from = line.find_first_not_of(" \t", ends[points]);
    a.text = QString::fromUtf8(line.substr(from).c_str()).trimmed();
  } else if (words.size() > points + 1) {
    return "--annotate: too many values for " + kind;
  }
  return {};
}

bool IsJpegName(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  QString ext = QString::fromStdString(name.substr(dot + 1)).toLower();
  return ext == "jpg" || ext == "jpeg";
}

// Press, drag and release with the left button.
void Drag(TadvancedImage& c, QPoint from, QPoint to) {
  c.ImgOnMouseDown(Qt::LeftButton, Qt::NoModifier, from.x(), from.y());
  c.ImgOnMouseMove(Qt::LeftButton, Qt::NoModifier, to.x(), to.y());
  c.ImgOnMouseUp(Qt::LeftButton, Qt::NoModifier, to.x(), to.y());
}

// Draws one annotation as a user would with the tool of its kind.
void Draw(TadvancedImage& c, const Annotation& a) {
  c.Action = a.action;
  c.SelectedShapeIndex = -1;  // draw, not pick up what lies under the press
  if (a.action == VAAngle) {
    // First arm to the vertex; the second arm follows the mouse to the
    // third point, where a click ends it.
    Drag(c, a.points[0], a.points[1]);
    const QPoint end = a.points[2];
    c.ImgOnMouseMove(Qt::NoButton, Qt::NoModifier, end.x(), end.y());
    c.ImgOnMouseDown(Qt::LeftButton, Qt::NoModifier, end.x(), end.y());
    c.ImgOnMouseUp(Qt::LeftButton, Qt::NoModifier, end.x(), end.y());
  } else if (a.action == VATxtLabel) {
    // The entry window opens modally on release; type the text and Enter.
    // The timer dies with this call, so it cannot answer a later window.
    QTimer typist;
    typist.setSingleShot(true);
    QObject::connect(&typist, &QTimer::timeout, [&a] {
      auto* form = qobject_cast<TForm3*>(QApplication::activeModalWidget());
      if (!form) return;
      form->Edit1->setText(a.text);
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QCoreApplication::sendEvent(form->Edit1, &enter);
    });
    typist.start(0);
    Drag(c, a.points[0], a.points[1]);
  } else {
    Drag(c, a.points[0], a.points[1]);
  }
  c.Action = VAPan;
}

// The drawn annotations and the window in effect as a presentation state of
// the file's image, as the viewer's "Save Annotations as DICOM" writes it.
bool SaveState(const TadvancedImage& cell, const Options& o, std::string& why) {
  TSourceInfo source;
  if (!ReadSourceInfo(o.file, source, why)) return false;
  const TAnnotationKey& key = cell.AnnotationKey();
  const TStateImage image{key.path.empty() ? o.file : key.path, source.sopClassUid,
                          source.sopInstanceUid, source.frames};
  TPresentationState ps;
  const std::optional<std::pair<double, double>> window =
      source.colour ? std::nullopt : std::optional(std::pair(cell.windowLevel, cell.windowWidth));
  if (!BuildSeriesState(source.seriesInstanceUid, {image}, window, source.colour, ps, why))
    return false;
  TurnOfOrientation(cell.orientation, ps.rotation, ps.horizontalFlip);
  if (GreyInverted(cell.gDicomData.Monochrome, cell.Inverted)) ps.presentationShape = "INVERSE";
  return WritePresentationState(ps, source, o.saveState, why);
}

// Returns an error text, empty when the arguments are fine.
std::string Parse(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& v) {
      if (i + 1 >= args.size()) return false;
      v = args[++i];
      return true;
    };
    const auto number = [&](int& v) {
      std::string s;
      return value(s) && ParseInt(s, v);
    };
    std::string s;
    int n = 0;
    if (a == "-o") {
      if (!value(o.out)) return "-o needs a file name";
    } else if (a == "--frame") {
      if (!number(o.frame)) return "--frame needs a number";
    } else if (a == "--size") {
      const size_t x = value(s) ? s.find('x') : std::string::npos;
      if (x == std::string::npos || !ParseInt(s.substr(0, x), o.width) ||
          !ParseInt(s.substr(x + 1), o.height) || o.width < 1 || o.height < 1 || o.width > 16384 ||
          o.height > 16384)
        return "--size needs WxH, each 1 ... 16384";
    } else if (a == "--ww") {
      double v = 0;
      if (!value(s) || !ParseWindowValue(s, v) || !(v > 0)) return "--ww needs a number above 0";
      o.ww = v;
    } else if (a == "--wl") {
      double v = 0;
      if (!value(s) || !ParseWindowValue(s, v)) return "--wl needs a number";
      o.wl = v;
    } else if (a == "--zoom") {
      if (!number(n) || n < 1) return "--zoom needs a percentage of at least 1";
      o.zoom = n;
    } else if (a == "--rotate") {
      if (!value(s)) return "--rotate needs 90, 180 or 270";
      if (s == "90")
        o.rotate = Angel90;
      else if (s == "180")
        o.rotate = Angel180;
      else if (s == "270")
        o.rotate = Angel270;
      else
        return "--rotate needs 90, 180 or 270";
    } else if (a == "--flip") {
      if (!value(s) || (s != "h" && s != "v")) return "--flip needs h or v";
      o.flip = s == "h" ? flHorizontal : flVertical;
    } else if (a == "--invert") {
      o.invert = true;
    } else if (a == "--no-info") {
      o.noInfo = true;
    } else if (a == "--no-overlay") {
      o.noOverlay = true;
    } else if (a == "--bitmap") {
      o.bitmap = true;
    } else if (a == "--save-state") {
      if (!value(o.saveState) || o.saveState.empty()) return "--save-state needs a file name";
    } else if (a == "--with") {
      // One or more objects: every word up to the next option.
      const size_t before = o.with.size();
      while (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
        o.with.push_back(args[++i]);
      if (o.with.size() == before) return "--with needs at least one object file";
    } else if (a == "--annotate") {
      if (!value(s)) return "--annotate needs a description";
      Annotation an;
      const std::string why = ParseAnnotation(s, an);
      if (!why.empty()) return why;
      o.annotations.push_back(std::move(an));
    } else if (!a.empty() && a[0] == '-') {
      return "unknown option " + a;
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return "more than one input file";
    }
  }
  if (o.file.empty()) return "no input file";
  if (o.out.empty() && o.saveState.empty()) return "no output file (-o OUT.png)";
  if (o.bitmap && IsJpegName(o.out)) return "a JPEG export is of the cell, not of --bitmap";
  return {};
}

int Render(const std::vector<std::string>& args) {
  Options o;
  const std::string error = Parse(args, o);
  if (!error.empty()) {
    std::fprintf(stderr, "tavrolen-dicom render: %s\nusage: tavrolen-dicom %s\n", error.c_str(),
                 kUsage);
    return 2;
  }
  std::string why;
  for (const std::string& target : {o.out, o.saveState})
    if (!target.empty() && !CheckOutputPath(target, why)) {
      std::fprintf(stderr, "tavrolen-dicom render: %s\n", why.c_str());
      return 1;
    }
  // Headless unless a display is there to use.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "tavrolen-dicom";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

  // One cell on its own: its drags are its own.
  gProcessAllViewers = false;
  TadvancedImage cell;
  cell.resize(o.width, o.height);
  cell.ResizeImage();
  if (o.noInfo) cell.setShowInfo(false);
  if (o.noOverlay) cell.setShowOverlay(false);
  if (!cell.LoadFile(o.file, o.frame)) {
    std::fprintf(stderr, "tavrolen-dicom render: %s: %s\n", o.file.c_str(),
                 cell.LastLoadError().c_str());
    return 1;
  }
  // The objects' readers report what they skip themselves; DCMTK's own log
  // would repeat it (and warn of the short header read) on every object.
  if (!o.with.empty() && !std::getenv("TAVROLEN_DCMTK_DEBUG"))
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  // Derived objects first: a window, turn or zoom given here overrides a
  // presentation state's. One that is not for this image is drawn nowhere
  // and said so; one that cannot be read fails the command.
  for (const std::string& object : o.with) {
    switch (AttachDerivedObject(cell, object, why)) {
      case TAttachOutcome::Applied:
        // Drawn as far as it goes; what could not be is said once.
        if (!why.empty()) std::fprintf(stderr, "tavrolen-dicom render: note: %s\n", why.c_str());
        break;
      case TAttachOutcome::NotHere:
        std::fprintf(stderr, "tavrolen-dicom render: note: %s\n", why.c_str());
        break;
      case TAttachOutcome::Unreadable:
        std::fprintf(stderr, "tavrolen-dicom render: %s\n", why.c_str());
        return 1;
    }
  }
  if (o.ww || o.wl) {
    cell.SetWwWl(o.ww.value_or(cell.windowWidth), o.wl.value_or(cell.windowLevel));
    cell.createBitmap();
    cell.RenderViewer();
  }
  if (o.invert) cell.Invert();
  if (o.rotate) cell.Rotate(*o.rotate);
  if (o.flip) cell.Flip(*o.flip);
  if (o.zoom) cell.Zoom(*o.zoom - cell.zoomFactor);
  // A still picture: the first frame asked for stays.
  cell.PauseCine();
  for (const Annotation& a : o.annotations) Draw(cell, a);
  if (!o.saveState.empty() && !SaveState(cell, o, why)) {
    std::fprintf(stderr, "tavrolen-dicom render: %s\n", why.c_str());
    return 1;
  }
  if (o.out.empty()) return 0;

  if (IsJpegName(o.out)) {
    QString why;
    if (!cell.SaveJPEG(QString::fromStdString(o.out), &why)) {
      std::fprintf(stderr, "tavrolen-dicom render: cannot write %s: %s\n", o.out.c_str(),
                   why.toLocal8Bit().constData());
      return 1;
    }
    return 0;
  }
  const QImage picture = o.bitmap ? cell.Bitmap() : cell.Surface();
  // Encoded in memory first: a picture that cannot be encoded leaves OUT as it was.
  const QByteArray format = o.out == "-"
                                ? QByteArray("PNG")
                                : QFileInfo(QString::fromStdString(o.out)).suffix().toLatin1();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (picture.isNull() || format.isEmpty() || !picture.save(&buffer, format.constData())) {
    std::fprintf(stderr, "tavrolen-dicom render: cannot write %s: no picture in that format\n",
                 o.out.c_str());
    return 1;
  }
  if (!WriteFileSafely(o.out, std::string_view(bytes.constData(), size_t(bytes.size())), why)) {
    std::fprintf(stderr, "tavrolen-dicom render: %s\n", why.c_str());
    return 1;
  }
  return 0;
}

const cli::Register kRender("render", kUsage, Render);

}  // namespace

#endif  // TAVROLEN_WITH_QT
