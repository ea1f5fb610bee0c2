"""Identifiers of the host machine; the module is ``varnok.ostrel``."""


def __getattr__(name: str) -> str:
    # Looked up on first use: importlib.metadata costs more to import than the
    # module itself, and most users never ask for the version.
    if name == "__version__":
        from importlib.metadata import version

        return version("varnok")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
