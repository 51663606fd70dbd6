#!/usr/bin/env python3
"""Every member of every automation interface, called as a front end calls
it: through the Python client, against a registered server.

    client_interface_test.py SERVER EXAMPLES_DIR

Values are checked against what a designer knows of the mixtures
(published boiling points and azeotropes of acetone/chloroform/methanol and
ethanol/water/benzene at 1 atm) and against the layouts the objects
promise: shapes, filler values, error codes.
"""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "..", "..", "server", "python")
sys.path.insert(0, CLIENT)
import ternival_client as tc  # noqa: E402

SERVER, EXAMPLES = sys.argv[1], sys.argv[2]
ACM = os.path.join(EXAMPLES, "acetone_chloroform_methanol.toml")
EWB = os.path.join(EXAMPLES, "ethanol_water_benzene.toml")
E_FAIL = 0x80004005


class Interface(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        os.environ["TERNIVAL_REGISTRY"] = os.path.join(cls.dir.name, "registry.ini")
        os.environ["TMP"] = cls.dir.name
        velmtop = os.path.join(os.path.dirname(os.path.dirname(SERVER)), "velmora")
        with open(os.environ["TERNIVAL_REGISTRY"], "w") as f:
            f.write("[SOFTWARE\\Corvath\\Velmora\\38.0\\velmora]\nvelmtop=%s\n" % velmtop)
        subprocess.run([SERVER, "-RegServer"], check=True)

    def app(self, file=None):
        """An application, closed after the test, with the file open."""
        app = tc.Dispatch("Ternival.DistillationApp")
        self.addCleanup(app.close)
        if file:
            app.InitFromVmpdfFile(file)
        return app

    def failing(self, call, *args):
        with self.assertRaises(tc.AutomationError) as e:
            call(*args)
        return e.exception.hresult

    def test_application_and_property_package(self):
        app = self.app()
        self.assertEqual(self.failing(app.GetPropertyPackage), E_FAIL)
        app.InitFromVmpdfFile(EWB)
        pkg = app.GetPropertyPackage()
        ids, names, mw = pkg.GetComponentList()
        self.assertEqual(ids, ["ETHANOL", "WATER", "BENZENE"])
        self.assertIsNone(names)
        self.assertAlmostEqual(mw[1], 18.015, places=2)
        self.assertEqual(pkg.FlashTol, 1e-7)
        self.assertEqual(pkg.FlashMaxIter, 99999999)
        pkg.FlashTol = 1e-9
        self.assertEqual(pkg.FlashTol, 1e-9)
        for member in (pkg.GetPhaseList, pkg.GetPropMethodList):
            self.assertIsNone(member())
        self.assertIsNone(pkg.CalcEquilibrium(["WATER"], "NRTL", "TP", 300.0, 0.0, 0.0, 0.0, 0.0))
        self.assertIsNone(pkg.OpenVmpdfFile(EWB))
        # A second file closes the first; the package stays current.
        app.InitFromVmpdfFile(ACM)
        self.assertEqual(pkg.GetComponentList()[0], ["ACETONE", "CHLOROFM", "METHANOL"])
        app.CloseVmpdfFile()
        self.assertEqual(self.failing(pkg.GetComponentList), E_FAIL)
        app.InitFromVmpdfFileWithCWD("acetone_chloroform_methanol.toml", EXAMPLES)
        self.assertEqual(len(pkg.GetComponentList()[0]), 3)
        pkg.CloseVmpdfFile("")
        self.assertEqual(self.failing(pkg.GetComponentList), E_FAIL)

    def test_azeotrope_search(self):
        app = self.app(ACM)
        s = app.GetAzeotropeSearch()
        s.SetComponentData(["ACETONE", "CHLOROFM", "METHANOL"])
        s.SetPropertyData("NRTL", "NRTL", "NRTL", 2)
        s.Pressure = 101325.0
        self.assertEqual(s.Pressure, 101325.0)
        self.assertEqual(s.GetAzeotropes()[0], 0)  # nothing searched yet
        x, tb, codes = s.GetPureProperties()
        self.assertEqual(x, [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
        for t, published in zip(tb, (329.2, 334.3, 337.7)):  # normal boiling points
            self.assertAlmostEqual(t, published, delta=0.3)
        s.ComputeAzeotropes()
        n, xa, ta, phase, stability = s.GetAzeotropes()
        self.assertEqual(n, 4)
        self.assertEqual(phase, [1, 1, 1, 1])
        # The maximum-boiling acetone/chloroform azeotrope, 337.7 K at
        # x_acetone 0.34, is the stable node; the ternary one a saddle.
        top = max(range(n), key=lambda a: ta[a])
        self.assertAlmostEqual(ta[top], 337.7, delta=0.5)
        self.assertAlmostEqual(xa[top][0], 0.34, delta=0.03)
        self.assertEqual(stability[top], 1)
        self.assertEqual(sum(1 for a in range(n) if min(xa[a]) > 0.01 and stability[a] == 2), 1)
        self.assertIsNone(s.ShowDiagnostic())

    def test_map(self):
        app = self.app(EWB)
        m = app.GetDistillationMap()
        self.assertEqual((m.StepSizeEnv, m.StepSizeCurve, m.CurveCalcOption), (0.1, 0.3, 2))
        self.assertEqual((m.Pressure, m.Temperature, m.ErrorCode, m.MessageCode), (0.0, 0.0, 0, 0))
        for name, default in (("StepSizeEnv", 0.1), ("StepSizeCurve", 0.3), ("Temperature", 0.0)):
            setattr(m, name, 0.25)
            self.assertEqual(getattr(m, name), 0.25)
            setattr(m, name, default)
        self.assertEqual(self.failing(m.GetAzeotropes), E_FAIL)  # no contained search yet
        lle = m.GetTielinesLLE()
        self.assertEqual(len(lle), 200)
        self.assertTrue(all(v == -1.0 for row in lle for v in row))
        m.SetComponentData("ETHANOL", "WATER", "BENZENE")
        m.SetPropertyData("NRTL", "NRTL", "NRTL", 3)
        m.SetCalculationOption(1, 298.15)
        m.Pressure = 101325.0
        _, tb, _ = m.GetPureProperties()
        self.assertAlmostEqual(tb[1], 373.15, delta=0.3)
        n, x, t, phase, stability = m.GetAzeotropes()
        self.assertEqual(m.ErrorCode, 0)
        # The heterogeneous ternary azeotrope, 337.9 K, lowest boiling.
        low = min(range(n), key=lambda a: t[a])
        self.assertEqual((phase[low], stability[low]), (2, 3))
        self.assertAlmostEqual(t[low], 337.9, delta=2.0)
        m.CurveCalcOption = 1
        direction, curve = m.GetResidueCurve([0.2, 0.3, 0.5])
        self.assertIn(direction, (2, -2))
        self.assertGreater(len(curve), 10)
        direction, line = m.GetDistillationCurve([0.2, 0.3])
        self.assertGreater(len(line), 5)
        count, directions, boundaries = m.GetDistillationBoundary()
        self.assertEqual(len(directions), count)
        self.assertEqual(len(boundaries), count)
        count, iso = m.GetIsovolatilityCurve()
        self.assertEqual(len(iso), count)
        self.assertGreater(m.GetBoilingPoint([0.3, 0.3, 0.4]), 330.0)
        self.assertEqual(m.ComputeTieLine([0.3, 0.3, 0.4]), (None, None))  # computes nothing
        # Water/benzene split at 25 C; an ethanol-rich liquid does not.
        m.Temperature = 298.15
        x1, x2 = m.GetNewTieLineLLE([0.05, 0.5, 0.45])
        self.assertGreater(abs(x1[1] - x2[1]), 0.5)
        self.assertEqual(m.GetNewTieLineLLE([0.9, 0.05, 0.05]), ([-999.0] * 3, [-999.0] * 3))
        x1, x2, y = m.GetNewTieLineVLLE([0.05, 0.5, 0.45])
        self.assertAlmostEqual(sum(y), 1.0, places=6)
        m.ComputeEnvelopeLLE()
        self.assertEqual((m.ErrorCode, m.MessageCode), (0, 0))
        ties = m.GetTielinesLLE()
        self.assertGreater(len(ties), 4)
        self.assertGreater(len(m.GetCurveLLE()), 0)
        m.StepSizeEnv = 0.05
        m.ComputeEnvelopeVLLE()
        curve, plait = m.GetCurveVLLE()
        ties, vapour = m.GetTielinesVLLE()
        self.assertEqual(len(ties), 2 * len(vapour))
        self.assertGreater(plait, 300.0)
        # The design extension works on this map in its server.
        d = tc.Dispatch("Ternival.DistillationDesign", server=m)
        d.Attach(m)
        self.assertEqual(d.SearchKind, "classic")
        count, splits = d.GetLiquidSplits()
        self.assertEqual(count, n)

    def test_design_extension(self):
        """Regions, class and columns of a map, through the extension."""
        app = self.app(ACM)
        m = app.GetDistillationMap()
        m.SetComponentData("ACETONE", "CHLOROFM", "METHANOL")
        m.SetPropertyData("NRTL", "NRTL", "NRTL", 2)
        m.Pressure = 101325.0
        d = tc.Dispatch("Ternival.DistillationDesign", server=m)
        d.Attach(m)
        # Four regions, each from one of the two minimum-boiling binary
        # azeotropes (unstable nodes) to methanol or the maximum-boiling
        # acetone/chloroform azeotrope (stable nodes).
        count, nodes, outlines = d.GetRegions()
        self.assertEqual(count, 4)
        self.assertEqual(len(outlines), 4)
        m.GetPureProperties()
        n, x, t, phase, stability = m.GetAzeotropes()
        unstable = {3 + a for a in range(n) if stability[a] == 3}
        stable = {3 + a for a in range(n) if stability[a] == 1} | {2}
        self.assertEqual({tuple(r) for r in nodes}, {(u, s) for u in unstable for s in stable})
        self.assertEqual(d.GetMapClass()[1], "311-S")
        # Products on either side of a boundary: no column at any reflux.
        feed, top = [0.3, 0.3, 0.4], [0.78, 0.01, 0.21]
        bottom = [(feed[i] - 0.25 * top[i]) / 0.75 for i in range(3)]
        feasible, total, reason = d.CheckSplit(feed, top, bottom, 1.0)
        self.assertEqual((feasible, total), (0, 0))
        self.assertIn("different distillation regions", reason)
        # Products off the mass-balance line are refused.
        with self.assertRaises(tc.AutomationError):
            d.CheckSplit(feed, top, [0.1, 0.1, 0.8], 1.0)
        self.assertIn("mass-balance line", d.LastReason)
        # A zeotropic mixture: a direct split, its minimum reflux and a column
        # above it.
        app = self.app(os.path.join(EXAMPLES, "benzene_toluene_ethylbenzene.toml"))
        ids = app.GetPropertyPackage().GetComponentList()[0]
        m = app.GetDistillationMap()
        m.SetComponentData(*ids)
        m.Pressure = 101325.0
        d = tc.Dispatch("Ternival.DistillationDesign", server=m)
        d.Attach(m)
        self.assertEqual(d.GetMapClass(), ("0.0-1", "000"))
        feed, top = [0.3, 0.3, 0.4], [0.95, 0.0499, 0.0001]
        bottom = [(feed[i] - 0.3 * top[i]) / 0.7 for i in range(3)]
        r_min, n_min, reason = d.GetMinimumReflux(feed, top, bottom, 1.0)
        self.assertGreater(r_min, 0.5)
        self.assertGreater(n_min, 3)
        stages, feed_stage, rect, strip, reason = d.GetColumnProfiles(feed, top, bottom, 1.0, 1.5 * r_min)
        self.assertEqual(reason, "")
        self.assertEqual(len(rect) + len(strip), stages)
        self.assertTrue(1 < feed_stage <= stages)
        self.assertGreater(stages, n_min)
        # The top is the coldest stage, the reboiler the hottest.
        self.assertLess(rect[0][3], rect[-1][3])
        self.assertGreater(strip[0][3], strip[-1][3])

    def test_example_script(self):
        """The example script prints the azeotropes and a residue curve."""
        run = subprocess.run([sys.executable, os.path.join(EXAMPLES, "server_client_example.py")],
                             env=dict(os.environ, PYTHONPATH=CLIENT), capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        for text in ("4 azeotropes", "saddle, homogeneous", "residue curve from (0.2, 0.3, 0.5)"):
            self.assertIn(text, run.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
