// tavrolen-dicom render FILE [options] -o OUT.png: the picture a viewer cell
// of the given size paints after loading FILE (fitted), or with --bitmap the
// cell's display bitmap itself. Window, turns, flips and zoom go through the
// cell's own operations after the image has been shown once. The output
// format follows the file name's extension (PNG, PPM, BMP, ...).
#ifdef TAVROLEN_WITH_QT

#include <QApplication>
#include <QImage>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "viewer/AdvancedImage.h"

namespace {

constexpr const char* kUsage =
    "render FILE [--frame K] [--size WxH] [--ww W --wl L] [--invert] [--rotate 90|180|270] "
    "[--flip h|v] [--zoom Z] [--no-info] [--no-overlay] [--bitmap] -o OUT.png";

struct Options {
  std::string file, out;
  int frame = 1;
  int width = 512, height = 512;
  std::optional<int> ww, wl, zoom;
  bool invert = false, noInfo = false, noOverlay = false, bitmap = false;
  std::optional<RotateAngels> rotate;
  std::optional<FlipTypes> flip;
};

bool ParseInt(const std::string& s, int& v) {
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno != 0 || x < -2147483647L || x > 2147483647L) return false;
  v = int(x);
  return true;
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
      if (!number(n)) return "--ww needs a number";
      o.ww = n;
    } else if (a == "--wl") {
      if (!number(n)) return "--wl needs a number";
      o.wl = n;
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
    } else if (!a.empty() && a[0] == '-') {
      return "unknown option " + a;
    } else if (o.file.empty()) {
      o.file = a;
    } else {
      return "more than one input file";
    }
  }
  if (o.file.empty()) return "no input file";
  if (o.out.empty()) return "no output file (-o OUT.png)";
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
  // Headless unless a display is there to use.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "tavrolen-dicom";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);

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
  if (o.ww || o.wl) {
    cell.SetWwWl(o.ww.value_or(cell.windowWidth), o.wl.value_or(cell.windowLevel));
    cell.createBitmap();
    cell.RenderViewer();
  }
  if (o.invert) cell.Invert();
  if (o.rotate) cell.Rotate(*o.rotate);
  if (o.flip) cell.Flip(*o.flip);
  if (o.zoom) cell.Zoom(*o.zoom - cell.zoomFactor);

  const QImage picture = o.bitmap ? cell.Bitmap() : cell.Surface();
  if (picture.isNull() || !picture.save(QString::fromStdString(o.out))) {
    std::fprintf(stderr, "tavrolen-dicom render: cannot write %s\n", o.out.c_str());
    return 1;
  }
  return 0;
}

const cli::Register kRender("render", kUsage, Render);

}  // namespace

#endif  // TAVROLEN_WITH_QT
