#!/usr/bin/env python3
"""Checks the Group Policy templates against each other and against what the product reads.

    check-policy-templates.py ADMX ADML CONFIG_STORE_CPP

Fails when a file is not well-formed, a namespace or prefix is wrong, a $(string.X) or
$(presentation.X) reference has no entry, a policy writes anywhere but the settings key or
a value the product does not know, or a switch the product reads has no policy.
"""
import re
import sys
import xml.etree.ElementTree as ET

NS = "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"
SETTINGS_KEY = r"SOFTWARE\Halvane\FIDO2\auth\settings"
TARGET_PREFIX = "velkor"
TARGET_NAMESPACE = "Halvane.Policies.VelkorFIDO2Login"
# Switches the templates carry before the configuration store reads them: eventLogEnabled
# (event reporting, absent = on) and requireProof (refuse a key without a FIDO2 credential).
# Once config/ConfigStore.cpp reads one, it is found there as well; keep it listed until then.
NEW_NAMES = {"eventLogEnabled", "requireProof"}
REFERENCE = re.compile(r"\$\((string|presentation)\.([^)]*)\)")

failures = []


def check(condition, message):
    if condition:
        print(f"ok - {message}")
    else:
        print(f"not ok - {message}")
        failures.append(message)


def tag(name):
    return f"{{{NS}}}{name}"


def parse(path):
    try:
        return ET.parse(path).getroot()
    except ET.ParseError as error:
        check(False, f"{path} is well-formed ({error})")
        return None


def settings_switches(config_source):
    """Value names read from the settings key: string literals in a call that names
    SETTINGS_KEY_PATH, e.g. ReadRegistryFlag("enabled", SETTINGS_KEY_PATH), and the names
    given to ReadSettingsDword."""
    text = open(config_source, encoding="utf-8").read()
    names = set()
    for call in re.finditer(r"\(([^;{}]*\bSETTINGS_KEY_PATH\b[^;{}]*)\)", text):
        names.update(re.findall(r'L?"([A-Za-z0-9_]+)"', call.group(1)))
    # ReadSettingsDword reads the settings key only: every name it is given is a switch.
    names.update(re.findall(r'\bReadSettingsDword\(\s*"([A-Za-z0-9_]+)"', text))
    return names


def main(admx_path, adml_path, config_source):
    admx = parse(admx_path)
    adml = parse(adml_path)
    if admx is None or adml is None:
        return 1
    check(True, "both files are well-formed")
    check(admx.tag == tag("policyDefinitions"), "ADMX root is policyDefinitions in the PolicyDefinitions namespace")
    check(adml.tag == tag("policyDefinitionResources"),
          "ADML root is policyDefinitionResources in the PolicyDefinitions namespace")

    namespaces = admx.find(tag("policyNamespaces"))
    target = namespaces.find(tag("target")) if namespaces is not None else None
    check(target is not None and target.get("prefix") == TARGET_PREFIX and target.get("namespace") == TARGET_NAMESPACE,
          f"target namespace {TARGET_NAMESPACE} with prefix {TARGET_PREFIX}")
    prefixes = {TARGET_PREFIX} | {u.get("prefix") for u in (namespaces.findall(tag("using")) if namespaces is not None else [])}
    resources = admx.find(tag("resources"))
    check(resources is not None and resources.get("minRequiredRevision") == adml.get("revision"),
          "ADML revision satisfies the ADMX's minRequiredRevision")

    strings = {s.get("id") for s in adml.iter(tag("string"))}
    presentations = {p.get("id") for p in adml.iter(tag("presentation"))}
    references = [(kind, name) for element in admx.iter() for value in element.attrib.values()
                  for kind, name in REFERENCE.findall(value)]
    check(len(references) > 0, "the ADMX refers to ADML resources")
    for kind, name in references:
        table = strings if kind == "string" else presentations
        check(name in table, f"$({kind}.{name}) resolves in the ADML")

    text_of = {s.get("id"): s.text or "" for s in adml.iter(tag("string"))}

    def shown(attribute):
        match = REFERENCE.fullmatch(attribute or "")
        return text_of.get(match.group(2), "") if match and match.group(1) == "string" else ""

    categories = {c.get("name") for c in admx.iter(tag("category"))}
    check(any(shown(c.get("displayName")) == "Velkor FIDO2 Login" for c in admx.iter(tag("category"))),
          'a category is shown as "Velkor FIDO2 Login"')
    supported = {d.get("name") for d in admx.iter(tag("definition"))}

    def resolves(ref, known):
        prefix, _, name = (ref or "").rpartition(":")
        if prefix in ("", TARGET_PREFIX):
            return name in known
        return prefix in prefixes  # defined by a template this one names in <using>

    known_switches = settings_switches(config_source)
    check(len(known_switches) >= 3, f"settings switches found in {config_source}: {sorted(known_switches)}")
    allowed = known_switches | NEW_NAMES
    policies = list(admx.iter(tag("policy")))
    written = set()
    for policy in policies:
        name = policy.get("name")
        value_name = policy.get("valueName")
        written.add(value_name)
        check(policy.get("class") == "Machine", f"{name}: class Machine")
        check(policy.get("key") == SETTINGS_KEY, f"{name}: key {SETTINGS_KEY}")
        check(value_name in allowed, f"{name}: valueName {value_name} is a switch the product knows")
        parent = policy.find(tag("parentCategory"))
        check(parent is not None and resolves(parent.get("ref"), categories), f"{name}: in a category of this file")
        support = policy.find(tag("supportedOn"))
        check(support is not None and resolves(support.get("ref"), supported), f"{name}: supportedOn resolves")
        for state, expected in (("enabledValue", "1"), ("disabledValue", "0")):
            decimal = policy.find(f"{tag(state)}/{tag('decimal')}")
            check(decimal is not None and decimal.get("value") == expected, f"{name}: {state} is decimal {expected}")
        text = shown(policy.get("explainText"))
        check(len(shown(policy.get("displayName"))) > 0, f"{name}: has a display name")
        check(len(text) > 100 and value_name in text, f"{name}: explain text names {value_name} and says what it does")
    check(len(policies) == len(written), "one policy per value")
    for switch in sorted(known_switches | NEW_NAMES):
        check(switch in written, f"{switch} has a policy")

    print(f"policy templates: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
