// Everything the shared library exports is in the engine archive, linked whole.
