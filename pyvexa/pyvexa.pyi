"""Write stimulation protocols for a two-channel stimulation device.

A `Protocol` holds one session: its duration and intensity, which of the
two channels (A, B) are enabled, a list of internally generated signals,
and where each of the four coil positions (A1, A2 on channel A; B1, B2 on
channel B) takes its amplitude from and where each channel takes its
modulation from: an internal signal, by its position in the signal list,
or one of the device's external inputs, by its number. `save` writes the
protocol to a binary ``.vexa`` file.

Errors come in two families:

* Argument errors, raised before an operation starts and with the protocol
  unchanged: ``TypeError`` (wrong number of arguments, unknown or repeated
  keyword, a value of the wrong type; the message names the argument as
  ``argument 'name': ...``), ``OverflowError`` (an index that is negative or
  does not fit in 64 bits), and ``RuntimeError`` ("Already borrowed" /
  "Already mutably borrowed": the protocol is in use by another call, for
  example from another thread or from an argument's own ``__float__``).

* Failed checks inside an operation: ``pyo3_runtime.PanicException``, whose
  ``str()`` is the check's text, for example ``"assertion failed: duration
  >= 0.01"``. It derives from ``BaseException``, not ``Exception``: ``except
  Exception`` does not catch it, ``except BaseException`` does. It is not an
  attribute of this module; recognise it with
  ``type(e).__name__ == "PanicException"``.

Unless a method says otherwise, a failed check changes nothing.
"""

from typing import Any, ClassVar, SupportsFloat, SupportsIndex, Union, final

import numpy as _np
import numpy.typing as _npt

__all__ = ["Protocol", "Channel", "Coil"]

# The floating-point parameters accept float, int and anything with
# __float__ or __index__ (NaN and infinities pass through to the checks);
# str and bytes are refused.
_Float = Union[SupportsFloat, SupportsIndex]
# The boolean parameters accept exactly True/False, or a NumPy boolean scalar.
_Bool = Union[bool, _np.bool_]

@final
class Coil:
    """A coil position of the device: two per channel.

    The members `A1`, `A2`, `B1`, `B2` are the only instances; the class
    cannot be instantiated or subclassed. Members compare and hash by
    identity (``Coil.A1 == 0`` is false), are not ordered, and are not
    integers (no ``__index__``): use ``int()`` for the number.
    """

    A1: ClassVar[Coil]
    """Channel A, first coil position (number 0)."""
    A2: ClassVar[Coil]
    """Channel A, second coil position (number 1)."""
    B1: ClassVar[Coil]
    """Channel B, first coil position (number 2)."""
    B2: ClassVar[Coil]
    """Channel B, second coil position (number 3)."""

    def __int__(self) -> int:
        """The position's number: 0 for A1, 1 for A2, 2 for B1, 3 for B2."""
    def __repr__(self) -> str:
        """``"Coil.A1"`` and so on; ``str()`` gives the same text."""

@final
class Channel:
    """An output channel of the device.

    The members `A` and `B` are the only instances; the class cannot be
    instantiated or subclassed. Members compare and hash by identity, are
    not ordered and are not integers: use ``int()`` for the number.
    """

    A: ClassVar[Channel]
    """Channel A (number 0): coil positions A1 and A2. Enabled by default."""
    B: ClassVar[Channel]
    """Channel B (number 1): coil positions B1 and B2. Disabled by default."""

    def __int__(self) -> int:
        """The channel's number: 0 for A, 1 for B."""
    def __repr__(self) -> str:
        """``"Channel.A"`` or ``"Channel.B"``; ``str()`` gives the same text."""

@final
class Protocol:
    """A stimulation protocol under construction.

    ``Protocol()`` takes no arguments and starts from the default machine
    description (one coil, "Default"), a session of 60.0 seconds at
    intensity 0.0, channel A enabled, channel B disabled, every source set
    to internal signal 0, and an empty signal list. Whether it was built on
    the device itself is recorded from the environment variable
    ``VEXA_TARGET_MACHINE`` at construction: present with any valid UTF-8
    value (even "" or "0") means yes.

    The class cannot be subclassed, copied or pickled; ``repr()`` is the
    default object representation and ``str()`` the full text form.
    Every method takes its parameters by position or by keyword, and every
    parameter is required.

    Raises:
        TypeError: if any argument is given.
    """

    def __new__(cls) -> Protocol: ...
    def __str__(self) -> str:
        """The protocol as multi-line text, the same text that ``print(p)``
        shows: ``"Protocol {"``, the settings nested by four spaces per
        level, and a last line ``"}"`` without a newline after it. Every
        field of the machine description, the session, every signal (an
        arbitrary signal one line per sample), both channels and the 16
        monitor-trace flags appear in the order of the file. Doubles are
        written with the shortest digits that read back exactly ("0.1",
        "1e16", "1.5e-5", "-0.0", "inf", "NaN").

        Raises:
            RuntimeError: "Already mutably borrowed" while another call on
                this protocol is in progress.
        """
    def set_stimulation_intensity(self, intensity: _Float) -> None:
        """Set the overall stimulation intensity, as a fraction of full
        intensity.

        Args:
            intensity: 0.0 to 1.0, both inclusive (-0.0 is accepted and kept).

        Raises:
            PanicException: "assertion failed: intensity >= 0.0 && intensity
                <= 1.0" for a value outside the range or NaN; the previous
                intensity stays.
            TypeError: ``argument 'intensity': ...`` for a value that cannot
                be converted to float (a ``str``, for example).
        """
    def set_session_duration(self, duration: _Float) -> None:
        """Set the session length in seconds.

        The duration decides the session's sample count,
        ``ceil(duration * 5000.0)`` (see `get_num_samples`), which every
        arbitrary signal added afterwards must match. Signals already added
        are not affected.

        Args:
            duration: 0.01 to 1800.0 seconds (30 minutes), both inclusive;
                stored unrounded. An ``int`` is accepted (``60`` is 60.0).

        Raises:
            PanicException: "assertion failed: duration <=
                config::MAX_SESSION_DURATION" above 1800.0, for +inf and
                NaN; "assertion failed: duration >= 0.01" below 0.01 and
                for -inf. The previous duration stays.
            TypeError: ``argument 'duration': ...`` for a value that cannot
                be converted to float.
        """
    def enable_channel(self, channel: Channel) -> None:
        """Switch a channel's output on.

        Channel A is on from the start. There is no way to switch a channel
        off again; enabling an enabled channel changes nothing.

        Raises:
            TypeError: "argument 'channel': 'X' object cannot be cast as
                'Channel'" for anything but a `Channel` member (a `Coil` or
                an ``int`` included).
        """
    def set_amplitude_source(self, coil: Coil, external: _Bool, index: SupportsIndex) -> None:
        """Choose where a coil position takes its amplitude from.

        Replaces the position's whole source selection: with ``external``
        false the source is internal signal ``index`` (a position in the
        signal list, as returned by the ``add_*_signal`` methods); with
        ``external`` true it is the device's external input ``index`` (the
        default machine has 6, numbered 0 to 5). The index is stored
        unchecked: it may name a signal not added yet, or never.

        Args:
            coil: `Coil.A1`, `Coil.A2` (channel A) or `Coil.B1`, `Coil.B2`
                (channel B).
            external: exactly ``True`` or ``False`` (or a NumPy bool); the
                integers 0 and 1 are refused.
            index: 0 to 2**64 - 1; ``True`` counts as 1.

        Raises:
            TypeError: a `coil` that is not a `Coil`, an `external` that is
                not a bool ("argument 'external': 'int' object cannot be cast
                as 'bool'"), or an `index` that is not an integer (a
                ``float``, for example).
            OverflowError: a negative `index` or one of 2**64 or more (the
                message is the interpreter's, without the argument's name).
        """
    def set_modulation_source(self, channel: Channel, external: _Bool, index: SupportsIndex) -> None:
        """Choose where a channel takes its modulation from.

        The same rule as `set_amplitude_source`: internal signal ``index``
        when ``external`` is false, external input ``index`` when it is
        true; the index is stored unchecked.

        Args:
            channel: `Channel.A` or `Channel.B`.
            external: exactly ``True`` or ``False`` (or a NumPy bool).
            index: 0 to 2**64 - 1.

        Raises:
            TypeError: a `channel` that is not a `Channel`, an `external`
                that is not a bool, an `index` that is not an integer.
            OverflowError: a negative `index` or one of 2**64 or more.
        """
    def add_constant_signal(self, value: _Float) -> int:
        """Append a constant signal.

        Args:
            value: the constant level; any double, stored unchanged.

        Returns:
            The new signal's position in the signal list (0 for the first
            signal of a new protocol), to pass as an ``index`` or an
            ``a_idx``/``b_idx``.

        Raises:
            TypeError: ``argument 'value': ...`` for a value that cannot be
                converted to float.
        """
    def add_sine_signal(self, amplitude: _Float, frequency: _Float, phase: _Float, depth: _Float) -> int:
        """Append a sine signal.

        The four numbers are stored exactly as given: no range checks
        (a negative frequency, a depth above 1, NaN and infinities are all
        accepted). The device interprets them; this module gives them no
        units.

        Returns:
            The new signal's position in the signal list.

        Raises:
            TypeError: ``argument '<name>': ...`` for a value that cannot be
                converted to float.
        """
    def add_ramp_signal(self, peak: _Float, up_duration: _Float, down_duration: _Float) -> int:
        """Append a ramp: a rise to ``peak`` over ``up_duration``, then a fall
        over ``down_duration``.

        The numbers are stored exactly as given, without range checks
        (durations of zero are accepted).

        Returns:
            The new signal's position in the signal list.

        Raises:
            TypeError: ``argument '<name>': ...`` for a value that cannot be
                converted to float.
        """
    def add_mixed_signal(self, a_idx: SupportsIndex, b_idx: SupportsIndex) -> int:
        """Append a mix of two other signals, named by their positions.

        The positions are stored unchecked: they may be equal, name the mix
        itself, or name signals not added yet.

        Args:
            a_idx: position of the first signal, 0 to 2**64 - 1.
            b_idx: position of the second signal, 0 to 2**64 - 1.

        Returns:
            The new signal's position in the signal list.

        Raises:
            TypeError: an index that is not an integer.
            OverflowError: a negative index or one of 2**64 or more.
        """
    def add_arbitrary_signal(self, samples: _npt.NDArray[_np.float64]) -> int:
        """Append an arbitrary curve, one value per sample of the session.

        The values are copied and stored as 16-bit integers,
        ``round(x * 32767)`` with halves rounded away from zero (1.0 is
        32767, 0.5 is 16384); later changes to the array do not affect the
        protocol. The signal keeps its length if the duration changes later.
        Requires NumPy (not available under PyPy here).

        Args:
            samples: a one-dimensional NumPy array of float64 (a subclass,
                any strides and a read-only array are fine) with exactly
                `get_num_samples` elements, each from 0.0 to 1.0 inclusive.
                Lists, scalars, other dtypes and other shapes are refused,
                not converted.

        Returns:
            The new signal's position in the signal list.

        Raises:
            TypeError: "argument 'samples': 'list' object cannot be cast as
                'ndarray'" and likewise for anything that is not a 1-D
                float64 array.
            PanicException: "assertion failed: samples.len() ==
                self.get_num_samples()" for the wrong length (checked first),
                "assertion failed: *sample >= 0.0" for a value below 0.0 or
                NaN, "assertion failed: *sample <= 1.0" for a value above
                1.0 (the first bad element decides), and "Failed to access
                NumPy array API capsule: ..." when NumPy cannot be imported.
                Nothing is appended.
        """
    def get_num_samples(self) -> int:
        """The session's sample count: ``ceil(session_duration * 5000.0)``
        in double precision (60.0 s gives 300000; 0.07 s gives 351, since
        0.07 * 5000.0 is slightly above 350).

        Raises:
            RuntimeError: "Already borrowed" while another call on this
                protocol is in progress.
        """
    def get_sampling_rate(self) -> float:
        """The sampling rate in samples per second: always 5000.0."""
    def save(self, filepath: str) -> None:
        """Write the protocol to a ``.vexa`` file.

        If the signal list is still empty, one constant signal of 0.0 is
        added first (so it appears in ``str()`` and the next signal added
        gets position 1); this stays even if writing fails. The file holds
        the protocol's complete settings in the device's compact binary
        layout. An existing file is replaced as a whole: the bytes go to a
        new file in the same directory that is then renamed over it, so a
        failed save leaves an existing file as it was (its permission bits
        are kept; a symbolic link is followed and stays a link).

        Args:
            filepath: a ``str`` ending in ".vexa" (case-sensitive), relative
                to the current directory or absolute. ``bytes`` and
                ``pathlib.Path`` are refused: pass ``str(path)``.

        Raises:
            PanicException: 'assertion failed: filepath.ends_with(".vexa")'
                for another extension (nothing changed, no file touched);
                "called `Result::unwrap()` on an `Err` value: Os { code: 2,
                kind: NotFound, message: ... }" and the like when the file
                cannot be created or written.
            TypeError: "argument 'filepath': 'bytes' object cannot be cast
                as 'str'" for anything but a ``str``.
        """
