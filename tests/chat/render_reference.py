#!/usr/bin/python3
"""Renders every case of cases.json with Jinja2 exactly as the reference library for chat
templates sets it up, and writes what each gives (its text, the message it raised, or that it
failed) to a JSON file that the C++ tests compare with byte for byte.

  render_reference.py CASES_JSON TEMPLATES_DIR OUTPUT_JSON

Needs Debian's python3-jinja2 (sh tools/setup.sh --tests installs it)."""
import datetime
import json
import sys

try:
    import jinja2
    import jinja2.ext
    from jinja2.sandbox import ImmutableSandboxedEnvironment
except ImportError:
    sys.exit("render_reference.py: jinja2 is missing (apt-get install python3-jinja2)")


class AssistantTracker(jinja2.ext.Extension):
    # {% generation %} ... {% endgeneration %} renders its body; the reference library only
    # records where it was.
    tags = {"generation"}

    def parse(self, parser):
        lineno = next(parser.stream).lineno
        body = parser.parse_statements(["name:endgeneration"], drop_needle=True)
        return jinja2.nodes.CallBlock(self.call_method("_generation_support"), [], [],
                                      body).set_lineno(lineno)

    def _generation_support(self, caller):
        return caller()


def environment(now):
    def raise_exception(message):
        raise jinja2.exceptions.TemplateError(message)

    def tojson(x, ensure_ascii=False, indent=None, separators=None, sort_keys=False):
        return json.dumps(x, ensure_ascii=ensure_ascii, indent=indent, separators=separators,
                          sort_keys=sort_keys)

    def strftime_now(format):
        return now.strftime(format)

    env = ImmutableSandboxedEnvironment(trim_blocks=True, lstrip_blocks=True,
                                        extensions=[AssistantTracker, jinja2.ext.loopcontrols])
    env.filters["tojson"] = tojson
    env.globals["raise_exception"] = raise_exception
    env.globals["strftime_now"] = strftime_now
    return env


def render(env, source, variables):
    try:
        return {"output": env.from_string(source).render(**variables)}
    except jinja2.exceptions.TemplateError as e:
        # raise_exception raises the base class itself; its subclasses are Jinja2's own errors.
        if type(e) is jinja2.exceptions.TemplateError:
            return {"raised": str(e)}
        return {"failed": f"{type(e).__name__}: {e}"}
    except Exception as e:  # noqa: BLE001 - every other failure is a failure alike
        return {"failed": f"{type(e).__name__}: {e}"}


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: render_reference.py CASES_JSON TEMPLATES_DIR OUTPUT_JSON")
    with open(argv[1], encoding="utf-8") as f:
        cases = json.load(f)
    env = environment(datetime.datetime.fromisoformat(cases["now"]))
    results = {}
    for case in cases["families"]:
        with open(f"{argv[2]}/{case['template']}", encoding="utf-8", newline="") as f:
            source = f.read()
        messages = case["messages"]
        if isinstance(messages, str):
            messages = cases["conversations"][messages]
        for prompt in (False, True):
            variables = dict(case.get("variables", {}))
            variables.update(messages=messages, add_generation_prompt=prompt,
                             bos_token=case["bos_token"], eos_token=case["eos_token"])
            results[f"{case['name']}/{'prompt' if prompt else 'no_prompt'}"] = render(
                env, source, variables)
    for case in cases["semantics"]:
        results[case["name"]] = render(env, case["template"], case.get("variables", {}))
    with open(argv[3], "w", encoding="utf-8") as f:
        json.dump(results, f, ensure_ascii=False, indent=1, sort_keys=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
