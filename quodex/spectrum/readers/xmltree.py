"""Safe parsing of untrusted XML spectrum files into element trees with namespaces dropped."""
from __future__ import annotations

from xml.etree.ElementTree import ParseError

import defusedxml
import defusedxml.ElementTree as SafeET

from .common import fail


def parse(path, data: bytes):
    """The root element, tags without namespace. Entity declarations, external references and DTDs
    are refused: expansion bombs and reads of local files never run."""
    try:
        root = SafeET.fromstring(data, forbid_dtd=False, forbid_entities=True, forbid_external=True)
    except defusedxml.DefusedXmlException as e:
        raise fail(path, None, f"XML refused: {type(e).__name__} ({e})") from None
    except ParseError as e:
        line = getattr(e, "position", (None,))[0]
        raise fail(path, f"line {line}" if line else None, f"not well-formed XML: {e}") from None
    except (ValueError, RecursionError) as e:  # bad encodings declared, absurd nesting
        raise fail(path, None, f"not readable XML: {e}") from None
    for element in root.iter():
        if isinstance(element.tag, str) and "}" in element.tag:
            element.tag = element.tag.rsplit("}", 1)[1]
    return root


def child(element, *names):
    """The first direct child with one of the names (tried in order), or None."""
    for name in names:
        found = element.find(name)
        if found is not None:
            return found
    return None


def text_of(element, *names):
    found = child(element, *names)
    return None if found is None or found.text is None else found.text.strip()
