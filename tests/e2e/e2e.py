#!/usr/bin/env python3
"""Runs one end-to-end scenario: python3 e2e.py --build-dir DIR SCENARIO.

Exit status 0 when the scenario passed, 1 when a check failed (the reason is
the last line printed). Screenshots and logs stay in DIR/e2e-artifacts/SCENARIO.
"""

import argparse
import os
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import ScenarioFailure, Stack, log  # noqa: E402
import scenario_desktop  # noqa: E402
import scenario_online  # noqa: E402
import scenario_compositor  # noqa: E402
import scenario_hostile  # noqa: E402
import scenario_wm  # noqa: E402
import scenario_wine  # noqa: E402
import scenario_installer  # noqa: E402
import scenario_monitors  # noqa: E402
import scenario_wayland  # noqa: E402
import scenario_scale  # noqa: E402
import scenario_bridges  # noqa: E402
import scenario_wake  # noqa: E402
import scenario_signin  # noqa: E402
import scenario_workarea  # noqa: E402
import scenario_emotes  # noqa: E402
import scenario_platforms  # noqa: E402

SCENARIOS = {
    "mascot": scenario_desktop.mascot,
    "clickthrough": scenario_desktop.clickthrough,
    "shutdown": scenario_desktop.shutdown,
    "online": scenario_online.online,
    "emotes": scenario_emotes.emotes,
    "platforms": scenario_platforms.platforms,
    "compositor": scenario_compositor.compositor,
    "chatcut": scenario_compositor.chat_cut,
    "hostile": scenario_hostile.hostile,
    "hostile_chat": scenario_hostile.hostile_chat,
    "wm": scenario_wm.wm,
    "wm_edge": scenario_wm.wm_edge,
    "windows": scenario_wine.windows,
    "windows_install": scenario_installer.windows_install,
    "monitors": scenario_monitors.monitors,
    "wayland": scenario_wayland.wayland,
    "scale": scenario_scale.scale,
    "bridges": scenario_bridges.bridges,
    "wake": scenario_wake.wake,
    "signin": scenario_signin.signin,
    "workarea": scenario_workarea.workarea,
    "workarea_monitors": scenario_workarea.workarea_monitors,
    "windows_workarea": scenario_workarea.windows_workarea,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("scenario", choices=sorted(SCENARIOS))
    args = parser.parse_args()
    try:
        with Stack(args.scenario, args.build_dir) as stack:
            SCENARIOS[args.scenario](stack)
    except ScenarioFailure as failure:
        log("artefacts in", os.path.join(os.path.abspath(args.build_dir), "e2e-artifacts", args.scenario))
        print(f"FAILED: {args.scenario}: {failure}", flush=True)
        return 1
    except Exception:
        traceback.print_exc()
        print(f"FAILED: {args.scenario}: harness error", flush=True)
        return 1
    print(f"PASSED: {args.scenario}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
