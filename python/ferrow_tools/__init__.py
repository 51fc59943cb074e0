"""Administration tools for Ferrow queue directories (`ferrow-admin`)."""

try:
    from importlib.metadata import version as _version

    __version__ = _version("ferrow")
except Exception:  # not installed as a distribution (run from a source tree)
    __version__ = "unknown"

__all__ = ["__version__"]
