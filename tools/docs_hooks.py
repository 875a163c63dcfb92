"""MkDocs hook: the gallery's files (the notebook and the figure) join the
site from examples/, where they live, so that each has one home. The notebook
keeps its path in examples/, so it runs there when the site is built (it
imports the example scripts beside it)."""

from pathlib import Path

from mkdocs.plugins import event_priority
from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parents[1]
GALLERY = {
    "gallery/tour.ipynb": "examples/tour.ipynb",
    "gallery/pareto.png": "examples/pareto.png",
}


# Before the notebook plugin looks at the files, so that it renders the notebook.
@event_priority(100)
def on_files(files, config):
    for uri, source in GALLERY.items():
        files.append(File.generated(config, uri, abs_src_path=str(ROOT / source)))
    return files


# The notebook plugin wraps the file in an object of its own that works out
# the source path from a folder; give the wrapper the path itself.
def on_nav(nav, config, files):
    for uri, source in GALLERY.items():
        file = files.get_file_from_path(uri)
        if file is not None:
            file.__dict__["abs_src_path"] = str(ROOT / source)
    return nav
