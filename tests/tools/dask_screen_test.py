#!/usr/bin/python3
"""A screen sent to a Dask cluster (a LocalCluster of two worker processes)
gives the same rows as the same screen on local worker processes.

    dask_screen_test.py PATH/TO/ternival
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

TOOL = None
CANDIDATES = "benzene,cyclohexane,ethylene glycol,methanol,no such compound"
VERDICT = ("entrainer", "cas", "class", "class_code", "homogeneous", "heteroazeotropic", "extractive",
           "alpha_inf", "x_entrainer_min", "reasons", "azeotropes", "error")


class DaskScreen(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.env = dict(os.environ, TERNIVAL_REGISTRY=os.path.join(self.tmp.name, "registry.ini"),
                        TMP=self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def screen(self, *extra):
        r = subprocess.run([TOOL, "screen", "--separate", "ethanol,water", "--candidates", CANDIDATES,
                            "--format", "json", *extra], env=self.env, capture_output=True, text=True, timeout=600)
        self.assertEqual(r.returncode, 0, r.stderr)
        return {row["request"]: row for row in json.loads(r.stdout)}

    def test_a_cluster_gives_the_local_verdicts(self):
        from distributed import Client, LocalCluster
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            with Client(cluster) as client:
                self.assertEqual(len(client.scheduler_info()["workers"]), 2)
            on_dask = self.screen("--dask", cluster.scheduler_address)
        local = self.screen("--workers", "2")
        self.assertEqual(sorted(on_dask), sorted(local))
        for request, row in local.items():
            for key in VERDICT:
                self.assertEqual(on_dask[request].get(key), row.get(key), f"{request}: {key}")
        self.assertTrue(on_dask["benzene"]["heteroazeotropic"])
        self.assertIsNotNone(on_dask["no such compound"]["error"])

    def test_an_unreachable_scheduler_is_an_error(self):
        r = subprocess.run([TOOL, "screen", "--separate", "ethanol,water", "--candidates", "benzene",
                            "--dask", "tcp://127.0.0.1:9"], env=self.env, capture_output=True, text=True,
                           timeout=120)
        self.assertEqual(r.returncode, 4, r.stderr)
        self.assertIn("the Dask run failed", r.stderr)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
