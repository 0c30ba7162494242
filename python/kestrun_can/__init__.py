"""python-can interface "kestrun": a channel of a Kestrun USB-to-CAN adapter,
shared with kestrun processes through the adapter's owner."""
from .bus import KestrunBus

__all__ = ["KestrunBus"]
__version__ = "1.0.0"
