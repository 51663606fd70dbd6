#!/usr/bin/python3
"""Runs the candidates of `ternival screen --dask ADDRESS` on a Dask
distributed cluster.

Reads the task list as JSON on standard input:
    {"address": "tcp://host:8786", "timeout": 600,
     "tasks": [{"request": "benzene", "argv": ["/path/ternival", ...]}, ...]}
Each task runs the same `ternival screen --worker` command line a local run
uses, on whichever worker the scheduler picks (so every worker needs the
same build of ternival at the same path).  Prints each result row (one JSON
object per line) as its task ends; a task that fails prints a row with its
error.  Needs Debian's python3-distributed.
"""
import json
import subprocess
import sys


def run_task(argv, timeout):
    """Runs one candidate on a worker; returns (returncode, stdout, stderr)."""
    try:
        r = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
        return r.returncode, r.stdout, r.stderr[-2000:]
    except subprocess.TimeoutExpired:
        return -9, "", "the candidate ran past %s s on its worker" % timeout
    except OSError as e:
        return -1, "", "cannot run %s on the worker: %s" % (argv[0], e)


def main():
    try:
        from distributed import Client, as_completed
    except ImportError:
        print("screen_dask.py: python3-distributed is not installed (apt-get install python3-distributed)",
              file=sys.stderr)
        return 3
    spec = json.load(sys.stdin)
    try:
        client = Client(spec["address"], timeout=spec.get("connect_timeout", 10))
    except Exception as e:  # the scheduler cannot be reached
        print("screen_dask.py: cannot reach the Dask scheduler at %s: %s" % (spec["address"], e), file=sys.stderr)
        return 2
    timeout = spec.get("timeout", 600)
    futures = {}
    for task in spec["tasks"]:
        f = client.submit(run_task, task["argv"], timeout, pure=False)
        futures[f] = task["request"]
    for f in as_completed(futures):
        request = futures[f]
        try:
            code, out, err = f.result()
        except Exception as e:  # a worker lost, a task that raised
            code, out, err = -1, "", "the Dask task failed: %s" % e
        rows = [line for line in out.splitlines() if line.strip().startswith("{")]
        if not rows:
            rows = [json.dumps({"request": request, "entrainer": request, "error":
                                "the worker ended (status %d) without a result: %s" % (code, err.strip()[-300:])})]
        for line in rows:
            print(line, flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
