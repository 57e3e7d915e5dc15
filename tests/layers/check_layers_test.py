#!/usr/bin/python3
"""scripts/check-layers passes the real tree and fails a copy of it that has one
upward include, naming the file, the line and the include.

Usage: check_layers_test.py REPO_ROOT
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(ROOT, "scripts", "check-layers")


def run(src):
    p = subprocess.run([SCRIPT, src], capture_output=True, text=True, check=False)
    return p.returncode, p.stderr


class CheckLayers(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="check-layers-")
        self.src = os.path.join(self.tmp, "src")
        shutil.copytree(os.path.join(ROOT, "src"), self.src)

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def add(self, rel, *includes):
        """Writes src/REL with the given include lines after a comment line."""
        path = os.path.join(self.src, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write("// probe\n" + "".join(i + "\n" for i in includes))

    def assertFails(self, *needles):
        rc, err = run(self.src)
        self.assertEqual(rc, 1, err)
        for n in needles:
            self.assertIn(n, err)
        return err

    def assertPasses(self):
        rc, err = run(self.src)
        self.assertEqual(rc, 0, err)

    def test_real_tree_passes(self):
        rc, err = run(os.path.join(ROOT, "src"))
        self.assertEqual(rc, 0, err)

    def test_upward_include_names_file_line_and_include(self):
        self.add("dicom/Probe.cpp", '#include <string>', '#include "app/Unit1.h"')
        err = self.assertFails('src/dicom/Probe.cpp:3: #include "app/Unit1.h"',
                               "dicom may not include from app")
        self.assertEqual(len([l for l in err.splitlines() if "Probe.cpp" in l]), 1, err)

    def test_upward_includes_between_middle_layers(self):
        # Each step of the order, including one through a relative path and
        # one to a header that does not exist yet.
        self.add("pixels/Probe.cpp", '#include "volume/VolumeInput.h"')
        self.add("volume/Probe.cpp", '#include "study/Probe.h"')
        self.add("study/Probe2.cpp", '#include "../net/PacsClient.h"')
        self.add("net/Probe.cpp", '#include "viewer/Viewer.h"')
        self.add("viewer/Probe.cpp", '#include "app/Unit1.h"')
        self.assertFails("src/pixels/Probe.cpp:2", "src/volume/Probe.cpp:2",
                         "src/study/Probe2.cpp:2", "src/net/Probe.cpp:2",
                         "src/viewer/Probe.cpp:2")

    def test_downward_and_same_layer_includes_pass(self):
        self.add("app/Probe.cpp", '#include "dicom/dicom.h"', '#include "viewer/Viewer.h"',
                 '#include "Unit1.h"')
        self.add("study/Probe.cpp", '#include "pixels/FrameCache.h"', '#include "dicom/dicom.h"')
        self.add("cli/Probe.cpp", '#include "study/StudyLoad.h"', '#include "net/PacsClient.h"')
        self.add("cli/cmd_render.cpp", '#include "viewer/AdvancedImage.h"')
        self.assertPasses()

    def test_the_tool_reaches_widgets_only_in_its_renderer(self):
        self.add("cli/Probe.cpp", '#include "viewer/AdvancedImage.h"')
        self.add("cli/Probe2.cpp", "#include <QWidget>")
        self.assertFails("src/cli/Probe.cpp:2", "src/cli/Probe2.cpp:2")

    def test_cli_may_not_include_app_and_nothing_includes_cli(self):
        self.add("cli/Probe.cpp", '#include "app/Unit1.h"')
        self.add("app/Probe.cpp", '#include "cli/commands.h"')
        self.assertFails('src/cli/Probe.cpp:2: #include "app/Unit1.h"',
                         'src/app/Probe.cpp:2: #include "cli/commands.h"')

    def test_qt_free_layers_refuse_qt_directly_and_through_headers(self):
        self.add("dicom/Probe.h", "#include <QString>")
        self.add("study/Probe.cpp", '#include "pixels/ImageUtilities.h"')
        self.add("volume/Probe.cpp", "#include <QtCore/QList>")
        err = self.assertFails("src/dicom/Probe.h:2: #include <QString>: dicom uses no Qt",
                               'src/study/Probe.cpp:2: #include "pixels/ImageUtilities.h": '
                               "study uses no Qt (src/pixels/ImageUtilities.h",
                               "src/volume/Probe.cpp:2")
        self.assertNotIn("ImageUtilities.cpp", err)

    def test_pixels_uses_qt_gui_in_its_qt_units_only(self):
        self.add("pixels/Probe.cpp", "#include <QImage>")
        self.add("pixels/PixelsQt2.cpp", '#include "pixels/ThdTimer.h"')
        self.assertFails("src/pixels/Probe.cpp:2: #include <QImage>: pixels uses Qt only in",
                         'src/pixels/PixelsQt2.cpp:2: #include "pixels/ThdTimer.h"')

    def test_pixels_qt_units_refuse_widgets(self):
        self.add("pixels/DisplayBitmap.cpp", "#include <QWidget>")
        self.assertFails("src/pixels/DisplayBitmap.cpp:2: #include <QWidget>: "
                         "pixels's Qt units use QtCore and QtGui only")

    def test_net_uses_no_widgets_but_may_use_network(self):
        self.add("net/Probe.cpp", "#include <QNetworkReply>", "#include <QJsonObject>")
        self.assertPasses()
        self.add("net/Probe.cpp", "#include <QNetworkReply>", "#include <QDialog>",
                 '#include "viewer/ViewerGlobals.h"')
        self.assertFails("src/net/Probe.cpp:3: #include <QDialog>: net uses no Qt widgets",
                         "src/net/Probe.cpp:4")

    def test_a_folder_that_is_no_layer_is_refused(self):
        self.add("plugins/Probe.cpp", '#include "dicom/dicom.h"')
        self.assertFails("src/plugins is not a layer")


if __name__ == "__main__":
    unittest.main()
