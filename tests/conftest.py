import pytest

import tabrix


@pytest.fixture
def book():
    return tabrix.Book()


@pytest.fixture
def sheet(book):
    return book.add_sheet("Data")
