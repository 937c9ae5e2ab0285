"""The job on generated data: a library and releases of a given size made
into WORKDIR/input, then the run, timed step by step."""

from __future__ import annotations

import json
import os
import pathlib
import time
from typing import Optional

from zemo_etl import _demo_data
from zemo_etl.errors import OPTION, InputError, Wording
from zemo_etl.job.options import JobOptions
from zemo_etl.job.pipeline import Pipeline, StepFailed, collection_paused
from zemo_etl.safety import atomic_write
from zemo_etl.writing import check_folder

GENERATED = "generated.json"  # in WORKDIR/input: the scale its files were generated for


def run_scaled(workdir: pathlib.Path, scale: int, options: JobOptions, wording: Wording = Wording()) -> None:
    """`scale` generated library rows and releases into WORKDIR/input, run
    (the files of an earlier demo at this scale are taken again, so that an
    interrupted one resumes where it stopped; new data starts over), and
    each step's wall and CPU time printed, after a failed step too."""
    if scale < 1:
        raise InputError(f"{OPTION} must be at least 1", "scale")
    if scale > _demo_data.MOST_LIBRARY_ROWS:  # the generator's words make no more different artists
        raise InputError(f"{OPTION} must be at most {_demo_data.MOST_LIBRARY_ROWS:,}", "scale")
    data = workdir / "input"
    dump, releases = data / "library.sql", data / "releases.csv"
    pipeline = Pipeline(dump, releases, workdir, options, wording)
    failure: Optional[StepFailed] = None
    with pipeline.locked():
        data.mkdir(exist_ok=True)
        check_folder(data, options.allow_shared_folder, wording)
        started, cpu = time.monotonic(), _cpu()
        generated: Optional[tuple[float, float]] = None
        if options.fresh or _generated_scale(data) != scale or not (dump.is_file() and releases.is_file()):
            if os.path.lexists(data / GENERATED):
                os.remove(data / GENERATED)
            with collection_paused():
                _demo_data.generate(str(dump), str(releases), scale, scale)
            with atomic_write(data / GENERATED) as f:
                json.dump({"scale": scale}, f)
            generated = time.monotonic() - started, _cpu() - cpu
            pipeline.fresh = True  # new data: an old state would not match it
        pipeline.refuse_overwriting_inputs()
        try:
            pipeline.run()
        except StepFailed as e:
            failure = e
    print(f"timings for {scale:,} library rows and {scale:,} releases:")
    print(f"    {'generate data':<16} " + (_times(*generated) if generated is not None else "  reused"))
    for step, seconds in pipeline.timings.items():
        print(f"    {step:<16} " + _times(seconds, pipeline.cpu_times[step]))
    if failure is not None:
        raise failure


def _cpu() -> float:
    # This process's threads and the children waited for: the demo data's dump is written by one.
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def _times(wall: float, cpu: float) -> str:
    # CPU counts every thread: above the wall time where a step keeps more than one core busy.
    return f"{wall:8.2f} s {cpu:8.2f} s CPU"


def _generated_scale(data: pathlib.Path) -> Optional[int]:
    try:
        with open(data / GENERATED, encoding="utf-8") as f:
            scale = json.load(f).get("scale")
    except (OSError, ValueError, AttributeError):
        return None
    return scale if isinstance(scale, int) else None
