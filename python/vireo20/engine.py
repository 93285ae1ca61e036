"""The compiled generator and the quill20 wrapper, behind one object the pipeline calls.

The pipeline takes any object offering `MPUpscalingGenerator`, `array`, `grid_function` and
`ParticlePointsArray`; this one imports the real modules on first use, also in Dask workers.
"""


class QuillEngine:
    """quill20 and _vireo20upscaling; quill20 is imported first, as it registers the classes."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        import quill20
        import _vireo20upscaling
        if name == "MPUpscalingGenerator":
            generator = _vireo20upscaling.MPUpscalingGenerator
            if not hasattr(generator, "Sum"):
                raise SystemExit(f"vireo20: error: {_vireo20upscaling.__file__} is a build without the "
                                 "reductions (Sum, TakeAny, ...); rebuild it")
            return generator
        return getattr(quill20, name)

    def __reduce__(self):
        return (QuillEngine, ())


def default_engine():
    return QuillEngine()
