"""The gait report's pages of a lab reference, the cycles' consistency and
co-contraction: drawn from what the result holds, and nothing of them when it
holds none (a result of the analysis as it was)."""

import pypdf
import pytest

from plotvane.gait import write_gait_report
from quorvaemg_gait import gait
from quorvaemg_host.demo import demo_trial


def demo_result(folder):
    settings = gait.Settings(None, None, "peak", "linear")
    prepared, refused = gait.prepare_all([("Walk01", lambda: demo_trial(folder))], settings)
    result = gait.analyse(prepared, settings, refused)
    # Only what each case sets is drawn.
    for ch in result.channels:
        ch.consistency = None
    result.cocontraction = []
    return result


def with_reference(result):
    """A reference of the result's own means, the left TA's cycles inconsistent
    and the right hamstrings without a reference."""
    for ch in result.channels:
        mean = ch.analysis["mean"]
        ch.reference = {"mean": mean * 0.9, "sd": mean * 0.15 + 2.0, "subjects": 14,
                        "cycles": 180, "periods": [
                            {"on": 85.0, "on_sd": 3.0, "off": 12.0, "off_sd": 2.0, "subjects": 14},
                            {"on": 40.0, "on_sd": None, "off": 55.0, "off_sd": None,
                             "subjects": 9}]}
        ch.against = {"correlation": 0.97, "cosine": 0.99, "rms_sd": 0.8,
                      "outside": [(40.0, 55.0, "above")],
                      "shifts": [{"onset_shift": 12.0, "onset_sd": 2.3, "offset_shift": -3.0,
                                  "offset_sd": None}, None]}
        ch.consistency = {"variance_ratio": 0.21, "cosine": 0.95, "consistent": True}
    result.channels[0].consistency = {"variance_ratio": 0.71, "cosine": 0.8,
                                      "consistent": False}
    result.channels[1].against["outside"] = []
    result.channels[2].consistency = dict(result.channels[2].consistency, cosine=None)  # flat
    last = result.channels[-1]
    last.reference = last.against = None
    last.reference_note = "no reference for the right HAM"
    result.reference_source = {"path": "/lab/adults.csv", "subjects": 14, "settings": "linear"}
    result.consistency_limit = 0.5
    with_pairs(result)


def with_pairs(result):
    result.cocontraction = [
        {"side": side, "muscle_a": "TA", "muscle_b": "GAS", "channel_a": side[0] + "TA",
         "channel_b": side[0] + "GAS", "cycles": 8,
         "phases": {"whole": (31.0, 6.0), "stance": (36.0, 7.0), "swing": (23.0, None)}}
        for side in ("Left", "Right")]


def with_note(result):
    result.cocontraction, result.cocontraction_note = [], "the curves are not normalised"


ABSENT = ("grey band", "vs reference", "Co-contraction", "Against the lab reference",
          "Consistency of the cycles", "INCONSISTENT")
CASES = [  # set, extra pages, {page (negative: from the end): texts}, texts nowhere
    (None, 0, {}, ABSENT),
    (with_reference, 2, {
        1: ["grey band: lab reference (14 subjects)", "- cycles INCONSISTENT",
            "vs reference: r 0.97, cos 0.99, RMS 0.8 SD; outside 40-55 % above",
            "cycles: VR 0.71, cos 0.80 - INCONSISTENT (VR > 0.5)", "cycles: VR 0.21, cos 0.95",
            "vs reference: r 0.97, cos 0.99, RMS 0.8 SD; within ± 2 SD"],
        2: ["cycles: VR 0.21, cos -"],
        6: ["no reference for the right HAM", "grey: normal activity"],
        7: ["Co-contraction (Falconer and Winter)", "CCI = 2 x area under both curves' minimum",
            "tibialis anterior / gastrocnemius", "LTA / LGAS", "31 ± 6", "36 ± 7"],
        -2: ["Against the lab reference", "Outside ± 2 SD", "40-55 % above",
             "+12 % (2.3 SD); -", "-3 %; -", "RHAM: no reference for the right HAM",
             "Lab reference: /lab/adults.csv (14 subjects); linear"],
        -1: ["Consistency of the cycles", "INCONSISTENT (VR > 0.5)", "consistent",
             "Right tibialis anterior / gastrocnemius RTA / RGAS 31 ± 6 36 ± 7 23 8"]},
     ()),
    (with_pairs, 1, {7: ["Left", "Right", "LTA / LGAS", "RTA / RGAS", "23 8"],
                     -1: ["Left tibialis anterior / gastrocnemius LTA / LGAS 31 ± 6"]},
     ABSENT[:2] + ABSENT[3:]),
    (with_note, 1, {7: ["Co-contraction", "the curves are not normalised"]},
     ("CCI =", "Whole cycle")),
]


@pytest.mark.parametrize("setting, extra, expected, nowhere", CASES)
def test_reference_consistency_and_cocontraction_pages(tmp_path, setting, extra, expected,
                                                       nowhere):
    result = demo_result(str(tmp_path))
    if setting is not None:
        setting(result)
    pages = [" ".join(page.extract_text().split())
             for page in pypdf.PdfReader(write_gait_report(result, str(tmp_path))).pages]
    assert len(pages) == 1 + len(result.pages()) + 1 + extra
    for number, texts in expected.items():
        for text in texts:
            assert text in pages[number], (number, text)
    marked = [k for k, page in enumerate(pages) if "cycles INCONSISTENT" in page]
    assert marked == ([1] if setting is with_reference else [])
    for text in nowhere:
        assert not any(text in page for page in pages), text
