import pathlib

import tarvel

STORIES = pathlib.Path(__file__).resolve().parents[2] / "models" / "stories260K"


def test_the_bundled_default_is_the_stories_model_and_writes_its_authors_greedy_text():
    model = tarvel.load()
    published = (STORIES / "greedy_from_bos.txt").read_text()
    assert "".join(model.generate("", max_tokens=256)) + "\n" == published
    same = tarvel.load(str(STORIES / "stories260K.gguf"))
    assert same.spec.vocabulary == model.spec.vocabulary == 512
    assert same.session().step([1, 403]).tolist() == model.session().step([1, 403]).tolist()
