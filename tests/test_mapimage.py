"""The pictures drawn without matplotlib (density, speed, the ULM maps): matplotlib's colours,
every data pixel at its place (row 0 at the top, depth growing downwards), non-finite data,
any unit, Pillow without a scalable font, and no matplotlib import."""
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest
from matplotlib import colormaps, colors
from PIL import Image

from commandline import cli_env
from trakora_workflow import mapimage, pictures
from trakora_workflow.pipeline import Rendering
from trakora_workflow.ulm.outputs import save_map_pngs
from trakora_workflow.ulm.pipeline import Maps


@pytest.mark.parametrize("name, low, high, gamma", [
    ("magma", 0.0, 650.0, 0.5), ("magma", 2.0, 3.0, 1.0), ("viridis", 0.84, 5.03, 1.0), ("hot", 0.0, 1.71, 1.0),
    ("jet", 0.0, 29.3, 1.0), ("RdBu_r", -1.44, 1.44, 1.0)])
def test_colours_are_matplotlibs(name, low, high, gamma):
    rng = np.random.default_rng(1)
    span = high - low
    values = np.concatenate([rng.uniform(low - 0.2 * span, high + 0.2 * span, 2000),
                             low + span * np.arange(257) / 256, [low, high, -np.inf, np.inf]])
    norm = colors.PowerNorm(gamma, vmin=low, vmax=high) if gamma != 1 else colors.Normalize(vmin=low, vmax=high)
    expected = colormaps[name](norm(values), bytes=True)[:, :3]
    np.testing.assert_array_equal(mapimage.colour(values, name, low, high, gamma), expected)
    shown = mapimage.colour(np.array([np.nan, low]), name, low, high, gamma, bad=(1, 2, 3))
    assert shown[0].tolist() == [1, 2, 3] and shown[1].tolist() == expected[-4].tolist()


def _image_box(picture, background, shape):
    """(top, left, block) of a picture's image of `shape` data pixels, located as the rows and
    columns mostly of the `background` colours; each data pixel must be a square block."""
    mask = np.zeros(picture.shape[:2], bool)
    for colour in background:
        mask |= (picture == colour).all(axis=-1)
    rows = np.flatnonzero(mask.sum(axis=1) > 0.5 * mask.sum(axis=1).max())
    cols = np.flatnonzero(mask.sum(axis=0) > 0.5 * mask.sum(axis=0).max())
    top, left = rows[0], cols[0]
    height, width = rows[-1] + 1 - top, cols[-1] + 1 - left
    block = width // shape[1]
    assert block >= 2 and width == block * shape[1] and height == block * shape[0], (height, width, shape)
    return top, left, block


def _cells(picture, box, shape):
    """The colour at the centre of every data pixel (rows, columns, 3)."""
    top, left, block = box
    return picture[top + block // 2:top + shape[0] * block:block, left + block // 2:left + shape[1] * block:block]


def _read(path):
    with Image.open(path) as image:
        assert image.format == "PNG" and image.mode == "RGB"
        return np.asarray(image)


def test_composed_image_keeps_its_pixels_in_place(tmp_path):
    green, mark = (0, 200, 0), (200, 0, 200)
    image = np.full((7, 11, 3), green, np.uint8)
    marks = [(0, 0), (2, 9), (6, 4)]
    for r, c in marks:
        image[r, c] = mark
    picture = mapimage.compose(image, x_range=(0.0, 1.1), y_range=(0.0, 0.7), x_label="x", y_label="y",
                               title="t", bar=mapimage.ColourBar("hot", 0.0, 1.0, "b"))
    mapimage.save_png(picture, tmp_path / "p.png")
    np.testing.assert_array_equal(_read(tmp_path / "p.png"), picture)
    np.testing.assert_array_equal(_cells(picture, _image_box(picture, [green, mark], image.shape), image.shape),
                                  image)


def _result(density, unit="µm"):
    shape = density.shape
    return SimpleNamespace(ndim=2, track_end_indices=np.arange(3),
                           params=SimpleNamespace(space_unit=unit, time_unit="s"),
                           rendering=Rendering(density=density, counts=density, speed=density.copy(),
                                               weight=density.copy(), extent=(0.0, shape[1] * 0.5, 0.0, shape[0] * 0.5),
                                               pixel_size=0.5))


def test_density_picture_shows_each_pixel_at_its_place(tmp_path):
    density = np.zeros((20, 30), np.float32)
    density[2, 25] = 5.0                       # the only finite track pixel: the top of the scale
    density[15, 12] = np.inf                   # drawn at the top of the scale too
    density[10, 3] = np.nan                    # drawn as empty
    picture = pictures.save_density_png(_result(density), tmp_path / "d.png")
    np.testing.assert_array_equal(_read(tmp_path / "d.png"), picture)
    empty, full = colormaps["magma"]([0, 255], bytes=True)[:, :3]
    cells = _cells(picture, _image_box(picture, [empty, full], density.shape), density.shape)
    bright = {tuple(rc) for rc in np.argwhere((cells == full).all(axis=-1))}
    assert bright == {(2, 25), (15, 12)}
    assert (cells[10, 3] == empty).all()
    dark = (cells == empty).all(axis=-1)
    assert dark.sum() >= 0.9 * density.size - 2     # all the rest, the white scale bar aside


@pytest.mark.parametrize("unit", ["mm", "µm $", "\udcc2\udcb5m"])
def test_ulm_maps_show_depth_downwards_in_their_colours(tmp_path, drawn_texts, unit):
    d = np.zeros((40, 50), np.float32)
    v = np.zeros_like(d)
    direction = np.zeros_like(d)
    for (r, c), speed, sign in (((5, 40), 2.0, 1.0), ((20, 20), 1.0, -1.0), ((30, 10), np.inf, np.nan)):
        d[r, c], v[r, c], direction[r, c] = 3.0, speed, sign
    maps = Maps(density=d, velocity=v, direction=direction, extent=(0.0, 4.9, 1.0, 4.9), grid=0.1)
    paths = {n: tmp_path / f"{n}.png" for n in ("density", "velocity", "direction")}
    save_map_pngs(maps, unit, paths)
    shown = {n: _read(p) for n, p in paths.items()}
    hot = colormaps["hot"]([0, 255], bytes=True)[:, :3]
    box = _image_box(shown["density"], hot[:1], d.shape)      # the three maps share their layout
    np.testing.assert_array_equal(_cells(shown["density"], box, d.shape), hot[(d > 0).astype(int)])
    vtop = np.percentile([2.0, 1.0], 99)                        # from the finite speeds only
    jet = colormaps["jet"](colors.Normalize(0, vtop)(np.nan_to_num(v, posinf=vtop)), bytes=True)[..., :3]
    jet[d == 0] = 0                                              # no track: black
    lim = np.cbrt(3.0)
    rdbu = colormaps["RdBu_r"](colors.Normalize(-lim, lim)(lim * np.nan_to_num(direction)), bytes=True)[..., :3]
    rdbu[np.isnan(direction)] = 0                                # no direction: black
    for name, expected in (("velocity", jet), ("direction", rdbu)):
        np.testing.assert_array_equal(_cells(shown[name], box, d.shape), expected, name)
    shown_unit = unit.replace("\udcc2\udcb5", "µ")
    assert {f"x, lateral ({shown_unit})", f"z, depth ({shown_unit})", f"mean speed ({shown_unit}/s)"} <= set(drawn_texts)


@pytest.mark.parametrize("low, high, count, ticks, labels", [
    (-0.05, 15.95, 9, [0, 2, 4, 6, 8, 10, 12, 14], ["0", "2", "4", "6", "8", "10", "12", "14"]),
    (0.0, 16.0, 9, [0, 2, 4, 6, 8, 10, 12, 14, 16], None),
    (0.0, 1.65, 8, [0.0, 0.5, 1.0, 1.5], ["0.0", "0.5", "1.0", "1.5"]),
    (-0.05, 15.95, 7, [0, 5, 10, 15], None),
    (-1.44, 1.44, 5, [-1, -0.5, 0, 0.5, 1], ["-1.0", "-0.5", "0.0", "0.5", "1.0"]),
    (-1.44, 1.44, 4, [-1, 0, 1], ["-1", "0", "1"]),
    (0.84, 5.03, 6, [1, 2, 3, 4, 5], None),
    (3.0, 3.0, 5, [3.0], None)])
def test_ticks_are_round_values_inside_the_range(low, high, count, ticks, labels):
    got = mapimage.nice_ticks(low, high, count)
    np.testing.assert_allclose(got, ticks, atol=1e-12)
    if labels is not None:
        assert mapimage.tick_labels(got) == labels


def test_without_a_scalable_font_text_falls_back_to_the_bitmap_font(tmp_path, monkeypatch, drawn_texts):
    from PIL import ImageFont
    bitmap = ImageFont.load_default_imagefont()

    def old_pillow(size=None):            # Pillow before 10.1: no size, a Latin-1 bitmap font
        if size is not None:
            raise TypeError("load_default() got an unexpected keyword argument 'size'")
        return bitmap
    monkeypatch.setattr(mapimage, "_font_files", lambda: [])
    monkeypatch.setattr(ImageFont, "load_default", old_pillow)
    mapimage._font.cache_clear()
    try:
        pictures.save_density_png(_result(np.eye(12, 16, dtype=np.float32), unit="µm 中 $"), tmp_path / "d.png")
    finally:
        mapimage._font.cache_clear()
    assert _read(tmp_path / "d.png").shape[0] > 100
    assert "x (µm ? $)" in drawn_texts


def test_density_speed_and_ulm_pictures_do_not_import_matplotlib(tmp_path):
    script = f"""
import sys
from types import SimpleNamespace
import numpy as np
from trakora_workflow import pictures
from trakora_workflow.pipeline import Rendering
from trakora_workflow.ulm.outputs import save_map_pngs
from trakora_workflow.ulm.pipeline import Maps
image = np.eye(40, 60, dtype=np.float32)
result = SimpleNamespace(ndim=2, track_end_indices=np.arange(2), params=SimpleNamespace(space_unit="µm", time_unit="s"),
                         rendering=Rendering(image, image, image, image, (0.0, 60.0, 0.0, 40.0), 1.0))
pictures.save_density_png(result, {str(tmp_path / "d.png")!r})
pictures.save_speed_png(result, {str(tmp_path / "s.png")!r})
save_map_pngs(Maps(image, image, image, (0.0, 5.9, 0.0, 3.9), 0.1), "mm",
              {{n: {str(tmp_path)!r} + f"/{{n}}.png" for n in ("density", "velocity", "direction")}})
print(sorted(m for m in sys.modules if m.split(".")[0] == "matplotlib"))
"""
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=cli_env(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"
    assert len(list(tmp_path.glob("*.png"))) == 5
