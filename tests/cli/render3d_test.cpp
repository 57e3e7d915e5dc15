#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/fixtures.h"
#include "support/paths.h"
#include "volume/volume_fixtures.h"

namespace {

struct Result {
  int status = 0;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Result Render3d(const std::string& dir, const std::string& args) {
  Result r;
  const std::string out = dir + "/stdout.txt", err = dir + "/stderr.txt";
  const int status = std::system(
      (std::string(TAVROLEN_DICOM_TOOL) + " render3d " + args + " >'" + out + "' 2>'" + err + "'")
          .c_str());
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

// numpy over the slices pydicom reads, stacked by position along the
// normal: the projections along each axis, oriented as reformat's planes
// (the head at the top of coronal and sagittal pictures), and the PNGs
// decoded with zlib.
constexpr const char* kOracle = R"PY(
import glob, struct, sys, zlib
import numpy as np
import pydicom

failures = []
def check(ok, text):
    if not ok:
        failures.append(text)
        print("FAIL", text)

def volume(folder):
    slices = []
    for path in glob.glob(folder + "/*"):
        ds = pydicom.dcmread(path)
        o = np.array(ds.ImageOrientationPatient, float)
        normal = np.cross(o[:3], o[3:])
        slices.append((float(np.dot(np.array(ds.ImagePositionPatient, float), normal)),
                       ds.pixel_array.astype(np.int64), ds.PixelRepresentation == 1, normal))
    slices.sort(key=lambda s: s[0])
    return np.stack([s[1] for s in slices]), slices[0][2], slices[0][3]

for arg in sys.argv[1:]:
    kind, rest = arg.split("=", 1)
    if kind == "series":
        folder, prefix = rest.split(",")
        vol, signed, normal = volume(folder)
        for mode in ("mip", "minip", "mean"):
            for view in ("anterior", "lateral", "superior"):
                axis = {"anterior": 1, "lateral": 2, "superior": 0}[view]
                if mode == "mip":
                    want = vol.max(axis=axis)
                elif mode == "minip":
                    want = vol.min(axis=axis)
                else:  # rounded half to even
                    want = np.rint(vol.sum(axis=axis) / vol.shape[axis]).astype(np.int64)
                if view != "superior" and normal[2] > 0:
                    want = want[::-1, :]
                got = np.fromfile("%s-%s-%s.raw" % (prefix, mode, view),
                                  dtype=np.int16 if signed else np.uint16)
                name = "%s %s %s" % (prefix, mode, view)
                check(got.size == want.size, name + ": %d words, not %d" % (got.size, want.size))
                if got.size == want.size:
                    bad = np.count_nonzero(got.reshape(want.shape).astype(np.int64) != want)
                    check(bad == 0, name + ": %d pixels differ" % bad)
    else:  # png=PATH,W,H
        path, w, h = rest.split(",")
        data = open(path, "rb").read()
        check(data[:8] == b"\x89PNG\r\n\x1a\n", path + ": no PNG signature")
        width, height, depth, colour = struct.unpack(">IIBB", data[16:26])
        check((width, height, depth, colour) == (int(w), int(h), 8, 2), path + ": header")
        idat, at = b"", 8
        while at < len(data):
            n, t = struct.unpack(">I4s", data[at:at + 8])
            if zlib.crc32(data[at + 4:at + 8 + n]) != struct.unpack(">I", data[at + 8 + n:at + 12 + n])[0]:
                check(False, path + ": bad CRC")
            if t == b"IDAT":
                idat += data[at + 8:at + 8 + n]
            at += 12 + n
        rows = np.frombuffer(zlib.decompress(idat), np.uint8).reshape(height, width * 3 + 1)
        check(np.all(rows[:, 0] == 0), path + ": filter bytes")
        pixels = rows[:, 1:]
        check(pixels.max() > 60, path + ": black")
        check(pixels[0, :3].max() == 0, path + ": the corner is not background")
sys.exit(1 if failures else 0)
)PY";

TEST(CliRender3d, RawProjectionsEqualNumpyAndPicturesArePngs) {
  ASSERT_TRUE(testsupport::HavePythonModules("numpy, pydicom"))
      << "/usr/bin/python3 with numpy and pydicom is needed for this test";
  const std::string dir = testsupport::TempDir("cli-render3d-oracle");
  volfix::SeriesSpec aniso;
  aniso.columns = 9, aniso.rows = 7, aniso.slices = 6;
  aniso.columnSpacing = 0.6, aniso.rowSpacing = 1.3;
  volfix::SeriesSpec tilted = aniso;
  tilted.step = {0, 0.7, 2.5};
  tilted.isSigned = false;
  volfix::SeriesSpec headFirst = aniso;
  headFirst.step = {0, 0, -3.2};
  headFirst.columns = 5;
  std::string oracleArgs;
  for (const auto& [name, spec] : {std::pair{"aniso", aniso}, std::pair{"tilted", tilted},
                                   std::pair{"headfirst", headFirst}}) {
    const std::string series = dir + "/" + name;
    volfix::WriteSeries(series, spec);
    for (const char* mode : {"mip", "minip", "mean"})
      for (const char* view : {"anterior", "lateral", "superior"}) {
        const Result r =
            Render3d(dir, "'" + series + "' --raw --parallel --mode " + mode + " --view " + view +
                              " -o '" + series + "-" + mode + "-" + view + ".raw'");
        ASSERT_EQ(r.status, 0) << name << " " << mode << " " << view << ": " << r.err;
        EXPECT_NE(r.out.find("\"rows\""), std::string::npos) << r.out;
      }
    oracleArgs += " 'series=" + series + "," + series + "'";
  }
  // Pictures: volume rendering from the front and an orbit, a MIP.
  const std::string series = "'" + dir + "/aniso'";
  Result r = Render3d(dir, series + " --mode vr --preset bone --view anterior --size 64x48 -o '" +
                               dir + "/vr.png'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  r = Render3d(dir, series + " --mode vr --preset soft-tissue --azimuth 30 --elevation 20 -o '" +
                        dir + "/orbit.png'");
  ASSERT_EQ(r.status, 0) << r.err;
  r = Render3d(dir, series + " --mode mip --view left --size 40x40 -o '" + dir + "/mip.png'");
  ASSERT_EQ(r.status, 0) << r.err;
  oracleArgs += " 'png=" + dir + "/vr.png,64,48' 'png=" + dir + "/orbit.png,512,512' 'png=" + dir +
                "/mip.png,40,40'";

  const std::string script = dir + "/oracle.py";
  std::ofstream(script) << kOracle;
  std::string output;
  EXPECT_EQ(
      fixtures::RunCommand("/usr/bin/python3 '" + script + "'" + oracleArgs + " 2>&1", &output), 0)
      << output;
}

TEST(CliRender3d, WrongCommandLinesAndRefusedSeries) {
  const std::string dir = testsupport::TempDir("cli-render3d-errors");
  volfix::SeriesSpec s;
  volfix::WriteSeries(dir + "/series", s);
  const std::string series = "'" + dir + "/series'", png = " -o '" + dir + "/o.png'",
                    raw = " -o '" + dir + "/o.raw'";
  for (const std::string& bad : {
           series + png,                                // no mode
           series + " --mode vr",                       // no output
           series + " --mode volume" + png,             // no such mode
           series + " --mode vr --preset skin" + png,   // no such preset
           series + " --mode vr --view lateral" + png,  // lateral is for --raw
           series + " --mode vr --view left --azimuth 3" + png,
           series + " --mode vr --azimuth east" + png,
           series + " --mode vr --size 0x10" + png,
           series + " --mode vr --size 100000x10" + png,
           series + " --mode vr --size 10" + png,
           series + " --mode vr --crop 0,1,0,1,0" + png,
           series + " --mode vr --crop 0,1,0,1,0,1.5" + png,
           series + " --mode mip --raw --view anterior" + raw,  // no --parallel
           series + " --mode vr --raw --parallel" + raw,
           series + " --mode mip --raw --parallel --view left" + raw,
           series + " --mode mip --raw --parallel --size 9x9" + raw,
           series + " --mode vr --fast" + png,
           series + " " + series + " --mode vr" + png,
       }) {
    const Result r = Render3d(dir, bad);
    EXPECT_EQ(r.status, 2) << bad << ": " << r.err;
    EXPECT_NE(r.err.find("tavrolen-dicom render3d: "), std::string::npos) << bad;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/o.png"));

  // A crop box dragged to nothing still draws (black) and says so.
  Result r = Render3d(dir, series + " --mode vr --crop 0.6,0.4,0,1,0,1 --size 8x8" + png);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("note: The crop box is empty"), std::string::npos) << r.err;

  // Not a volume: one clear reason, exit 1, nothing written.
  volfix::SeriesSpec other = s;
  other.seriesUid += ".2";
  fixtures::WriteFile(dir + "/series", "other", volfix::SliceFile(other, 0, 1));
  std::filesystem::remove(dir + "/o.png");
  r = Render3d(dir, series + " --mode vr" + png);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("holds 2 series, not one"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/o.png"));
  const std::string single = dir + "/single";
  std::filesystem::create_directories(single);
  fixtures::WriteFile(single, "one", volfix::SliceFile(s, 0, 1));
  r = Render3d(dir, "'" + single + "' --mode mip --raw --parallel" + raw);
  EXPECT_EQ(r.status, 1) << r.err;
  r = Render3d(dir, "'" + dir + "/nothing' --mode vr" + png);
  EXPECT_EQ(r.status, 1);
}

}  // namespace
