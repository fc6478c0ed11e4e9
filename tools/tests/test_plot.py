"""The picture: its structure (axes, markers, legend, room used, bounded
cost), the output formats it accepts, and its absence without matplotlib."""
import struct
import sys

import pytest

import vexa_view as vi
from pyvexa_tools import lint_settings
from test_decoder import FRESH_FILE, fresh, sig
from test_lint import mixed, sel


def run(capsys, *args):
    status = vi.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def curve(n, at=None, value=16000):
    samples = [value] * n if at is None else [value] * at + [-5] + [value] * (n - at - 1)
    return sig("Arbitrary", samples)


def protocol(duration, signals, **routes):
    s = fresh()
    s.session_duration, s.signals = duration, signals
    for name, source in routes.items():
        setattr(s.channel_b_settings, name, source)
    s.channel_b_settings.enabled = bool(routes)
    return s


# (settings, the time axis's end)
CASES = {
    "fresh, no curve": (fresh(), 60.0),
    "mixed, with every kind of place": (protocol(
        3.0, [sig("Sine", 1.0, 2.0, 0, 1), curve(15000), curve(20000), curve(15000, at=100),
              mixed(0, 9)], amplitude1_source=sel(1), amplitude2_source=sel(12),
        modulation_source=sel(0, 7, True)), 4.0),
    "60 curves": (protocol(0.2, [curve(1000, value=v * 500) for v in range(60)]), 0.2),
    "5000 empty curves": (protocol(60.0, [curve(0)] * 5000), 60.0),
}


@pytest.mark.parametrize("case", CASES)
def test_picture_structure(case):
    pytest.importorskip("matplotlib")
    from pyvexa_tools.picture import Picture
    settings, end = CASES[case]
    if case.startswith("mixed"):
        settings.intensity = 0.5
    findings = lint_settings(settings)
    picture = Picture(settings, findings, "png")
    picture.draw()
    fig, ax = picture.fig, picture.ax
    renderer = fig.canvas.get_renderer()
    assert ax.get_xlim() == (0.0, end)
    # Each finding numbered, its number in the list and where it is.
    badges = [t.get_gid() for t in fig.texts]
    for item in picture.items:
        assert badges.count(f"finding-{item.number}") >= 2, item.code
    assert sum(len(i.members) for i in picture.items) == len(findings)
    # Nothing off the picture, the legend beside the data, no empty band.
    legend = ax.get_legend()
    boxes = [t.get_window_extent(renderer) for t in fig.texts]
    if legend is not None:
        box = legend.get_window_extent(renderer)
        assert not box.overlaps(ax.get_window_extent(renderer))
        boxes.append(box)
    assert all(0 <= b.x0 and b.x1 <= fig.bbox.x1 and b.y0 >= 0 for b in boxes)
    assert min(b.y0 for b in boxes) < 0.4 * fig.dpi
    # What is drawn stays bounded whatever the number of curves.
    assert len(fig.findobj()) < 600


@pytest.mark.parametrize("name, result", [
    ("p.png", "png"), ("P.SVG", "svg"), ("x.pdf", "pdf"), ("x.jpg", "jpg"),
    ("x.bmpx", "suffix .bmpx"), ("noext", "no suffix"), (".png", "no suffix")])
def test_check_output_by_suffix(tmp_path, name, result):
    pytest.importorskip("matplotlib")
    from pyvexa_tools.plot import check_output
    if "suffix" not in result:
        assert check_output(tmp_path / name) == result
    else:
        with pytest.raises(ValueError, match=f"\\({result}\\): name it .png, .svg or .pdf"):
            check_output(str(tmp_path / name))
    assert list(tmp_path.iterdir()) == []


def test_plot_writes_files_whole(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from pyvexa_tools.plot import plot
    path = tmp_path / "p.vexa"
    path.write_bytes(vi.encode(CASES["mixed, with every kind of place"][0]))
    png, svg = tmp_path / "p.png", tmp_path / "p.svg"
    assert run(capsys, "--plot", str(png), str(path)) == (0, "", "")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">I", png.read_bytes()[16:20]) == (1280,)
    plot(vi.decode(path.read_bytes()), svg)
    assert b'id="finding-1"' in svg.read_bytes()
    with pytest.raises(AttributeError):  # made in memory: the old file stays whole
        plot(fresh(), png, findings=[object()])
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    with pytest.raises(FileNotFoundError):
        plot(fresh(), tmp_path / "missing" / "p.png")


def test_plot_without_matplotlib_says_so(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    from pyvexa_tools.plot import PlotUnavailable, check_output
    with pytest.raises(PlotUnavailable, match="plot needs matplotlib"):
        check_output("p.png")
    path = tmp_path / "p.vexa"
    path.write_bytes(FRESH_FILE)
    status, out, err = run(capsys, "--plot", str(tmp_path / "p.png"), str(path))
    assert (status, out) == (2, "") and "plot needs matplotlib" in err
    assert not (tmp_path / "p.png").exists()
