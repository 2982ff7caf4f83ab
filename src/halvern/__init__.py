"""halvern: a fast, exact reader of QR codes in black-and-white images."""

__version__ = "0.1.0"

__all__ = ["__version__"]
