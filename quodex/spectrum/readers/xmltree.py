"""Safe parsing of untrusted XML spectrum files into element trees with namespaces dropped."""
from __future__ import annotations

from xml.etree.ElementTree import ParseError

import defusedxml
import defusedxml.ElementTree as SafeET

from ..errors import FileFormatError


def parse(data: bytes):
    """The root element, tags without namespace.

    Entity declarations, external references and DTDs are refused: expansion bombs and reads of local
    files never run.

    Parameters
    ----------
    data : bytes
        The file's content.

    Returns
    -------
    xml.etree.ElementTree.Element

    Raises
    ------
    FileFormatError
        XML refused, not well-formed or not readable.
    """
    try:
        root = SafeET.fromstring(data, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    except defusedxml.DefusedXmlException as e:
        raise FileFormatError(f"XML refused: {type(e).__name__} ({e})") from None
    except ParseError as e:
        line = getattr(e, "position", (None,))[0]
        raise FileFormatError(f"not well-formed XML: {e}", f"line {line}" if line else None) from None
    except (ValueError, LookupError, RecursionError) as e:  # bad or unknown encodings declared, absurd nesting
        raise FileFormatError(f"not readable XML: {e}") from None
    for element in root.iter():
        if isinstance(element.tag, str) and "}" in element.tag:
            element.tag = element.tag.rsplit("}", 1)[1]
    return root


def child(element, *names):
    """The first direct child with one of the names.

    Parameters
    ----------
    element : Element
    *names : str
        Tried in order.

    Returns
    -------
    Element or None
    """
    for name in names:
        found = element.find(name)
        if found is not None:
            return found
    return None


def text_of(element, *names):
    """The stripped text of the first direct child with one of the names.

    Parameters
    ----------
    element : Element
    *names : str
        Tried in order.

    Returns
    -------
    str or None
        None when there is no such child or it has no text.
    """
    found = child(element, *names)
    return None if found is None or found.text is None else found.text.strip()
