"""movra.dask on this machine's LocalCluster against the in-memory classes.

DaskSagZone.fit and DaskXGB2Regressor.fit + parse_model on rows generated per partition on the
workers (never on the client), 20 features; the baselines SagZone.fit and XGB2Regressor.fit +
parse_model on 1e6 rows in this process, timed in the same run. Reported: seconds, time per row
and its ratio to the baseline's, and the client's peak memory during each distributed run (it
must not grow with the rows: the client only holds sums).

    PYTHONPATH=src python benchmarks/bench_dask.py               # 1e6 and 1e7 rows
    PYTHONPATH=src python benchmarks/bench_dask.py --rows 1e6    # a quicker look
"""
import argparse
import threading
import time

import numpy as np

N_FEATURES = 20
PARTITION_ROWS = 500_000


def make_block(seed, rows):
    """One partition: features, target and a model's prediction (y minus its noise and an
    error growing with X1), all from the partition's own seed."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(size=(rows, N_FEATURES))
    signal = np.sin(6 * x[:, 0]) + x[:, 2] * x[:, 3]
    y = signal + rng.normal(scale=0.1 + x[:, 1], size=rows)
    return np.column_stack([x, y, signal + 0.3 * x[:, 1]])


def partition_sizes(n):
    return [PARTITION_ROWS] * (n // PARTITION_ROWS) + ([n % PARTITION_ROWS]
                                                       if n % PARTITION_ROWS else [])


def distributed_data(client, n):
    import dask
    import dask.array as da

    sizes = partition_sizes(n)
    blocks = [da.from_delayed(dask.delayed(make_block)(seed, rows), (rows, N_FEATURES + 2),
                              dtype=float) for seed, rows in enumerate(sizes)]
    table = client.persist(da.concatenate(blocks))
    from distributed import wait

    wait(table)
    return table[:, :N_FEATURES], table[:, N_FEATURES], table[:, N_FEATURES + 1]


def local_data(n):
    sizes = partition_sizes(n)
    table = np.concatenate([make_block(seed, rows) for seed, rows in enumerate(sizes)])
    return table[:, :N_FEATURES].copy(), table[:, N_FEATURES].copy(), table[:, -1].copy()


class PeakMemory:
    """The process's peak resident memory over a block (sampled every 20 ms), in MiB."""

    def __enter__(self):
        self.peak = self.start = self._rss()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, self._rss())

    def _watch(self):
        while not self._stop.wait(0.02):
            self.peak = max(self.peak, self._rss())

    @staticmethod
    def _rss():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
        return float("nan")


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=float, nargs="*", default=[1e6, 1e7])
    parser.add_argument("--baseline-rows", type=float, default=1e6)
    parser.add_argument("--trees", type=int, default=50)
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    from movra.dask import DaskSagZone, DaskXGB2Regressor
    from movra.diagnoser.sagzone import SagZone
    from movra.models.xgb2.xgboost import XGB2Regressor

    cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                           silence_logs=40)
    client = Client(cluster)
    # Warm-up: the workers import movra, XGBoost and scikit-learn on their first tasks.
    x, y, pred = distributed_data(client, 20_000)
    DaskSagZone(None, ["X1"], task_type="regression", client=client).fit(
        x, y, da_arange(x) % 5 != 0, da_arange(x) % 5 == 0, prediction=pred)
    DaskXGB2Regressor(n_estimators=2, client=client).fit(x, y).parse_model()
    results = {}
    for n in (int(r) for r in args.rows):
        x, y, pred = distributed_data(client, n)
        train = (da_arange(x) % 5) != 0
        zone = DaskSagZone(None, ["X1", "X0"], task_type="regression", client=client)
        with PeakMemory() as memory:
            seconds = timed(lambda: zone.fit(x, y, train, ~train, prediction=pred))
        results[("sagzone", n)] = (seconds, memory.peak - memory.start, memory.peak)
        model = DaskXGB2Regressor(n_estimators=args.trees, tree_method="hist", client=client)
        with PeakMemory() as memory:
            seconds = timed(lambda: model.fit(x, y).parse_model())
        results[("xgb2", n)] = (seconds, memory.peak - memory.start, memory.peak)
        del x, y, pred, zone, model
    client.close()
    cluster.close()

    n = int(args.baseline_rows)
    x, y, pred = local_data(n)
    train = np.arange(n) % 5 != 0
    zone = SagZone(None, ["X1", "X0"], task_type="regression")
    base = {"sagzone": timed(lambda: zone.fit(x, y, np.flatnonzero(train),
                                              np.flatnonzero(~train), prediction=pred)),
            "xgb2": timed(lambda: XGB2Regressor(n_estimators=args.trees, tree_method="hist")
                          .fit(x, y).parse_model())}

    print("in memory, %d rows: SagZone.fit %.2f s, XGB2Regressor.fit + parse_model %.2f s"
          % (n, base["sagzone"], base["xgb2"]))
    print("%-34s %10s %8s %13s %10s %17s" % ("case (LocalCluster, 2 workers)", "rows", "s",
                                            "ns per row", "ratio", "client peak MiB"))
    for (case, rows), (seconds, grown, peak) in sorted(results.items()):
        per_row = seconds / rows
        ratio = per_row / (base[case] / n)
        name = ("DaskSagZone.fit" if case == "sagzone"
                else "DaskXGB2Regressor.fit+parse_model")
        print("%-34s %10d %8.2f %13.1f %9.2fx %10.0f (+%.0f)"
              % (name, rows, seconds, 1e9 * per_row, ratio, peak, grown))


def da_arange(x):
    import dask.array as da

    return da.arange(x.shape[0], chunks=x.chunks[0])


if __name__ == "__main__":
    main()
