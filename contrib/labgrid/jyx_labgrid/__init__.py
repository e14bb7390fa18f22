"""labgrid resources and drivers for a JYX controller shared through
`jyx --serve`. Importing the package registers them with labgrid."""

from .resource import JyxController, NetworkJyxController
from .driver import (JyxConsoleDriver, JyxDigitalOutputDriver, JyxFlashDriver,
                     JyxPowerDriver)

__all__ = [
    "JyxController", "NetworkJyxController", "JyxConsoleDriver", "JyxDigitalOutputDriver",
    "JyxFlashDriver", "JyxPowerDriver",
]
